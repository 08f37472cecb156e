// Engine work with the interpreter lock released, still stoppable by Ctrl-C.
#pragma once

#include "py_error.hpp"

namespace vok::py {

// Runs work() with the interpreter lock released, so that other Python
// threads run meanwhile. The calling thread's poll (interrupt.hpp) takes the
// lock back for each of its looks and runs the signal handlers, as guarded's
// poll does: a handler that raises stops the work with Interrupted, its
// exception set for guarded to report. The lock is held again when this
// returns or throws.
template <class Work>
void unlocked(Work&& work) {
    struct Released {
        PyThreadState* state;
    } released{PyEval_SaveThread()};
    constexpr PollFn poll = [](void* ctx) noexcept {
        Released& r = *static_cast<Released*>(ctx);
        PyEval_RestoreThread(r.state);
        const bool stop = signals_raised(nullptr);
        r.state = PyEval_SaveThread();
        return stop;
    };
    try {
        InterpreterLock not_held;
        PollScope scope(poll, &released);
        work();
    } catch (...) {
        PyEval_RestoreThread(released.state);
        throw;
    }
    PyEval_RestoreThread(released.state);
}

}  // namespace vok::py
