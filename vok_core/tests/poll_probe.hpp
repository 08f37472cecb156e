// A poll for the tests of interrupts: says stop or not, and records how often
// and on which thread it was asked.
#pragma once

#include <thread>

struct Poll {
    explicit Poll(bool says_stop = false) : stop(says_stop) {}
    bool stop;
    int calls = 0;
    std::thread::id thread;
    static bool ask(void* ctx) noexcept {
        auto* p = static_cast<Poll*>(ctx);
        ++p->calls;
        p->thread = std::this_thread::get_id();
        return p->stop;
    }
};
