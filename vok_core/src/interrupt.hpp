// Interrupting a running call.
#pragma once

#include <exception>

namespace vok {

// Thrown out of a pool call, a long kernel or a search when the call was
// asked to stop (the caller's poll said so, or the job was cancelled). The
// poll that asked has already recorded why (for Python, the exception set by
// a signal handler), so the boundary only has to unwind.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace vok
