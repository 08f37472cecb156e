// References and errors at the Python boundary.
//
// A helper that fails sets the Python exception and throws `py::Error`;
// `guarded` turns every C++ exception into a Python one at the one place
// where an entry returns to the interpreter (std::bad_alloc -> MemoryError,
// other exceptions -> the module's internal-failure exception, py::Error ->
// the exception already set).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>

#include "interrupt.hpp"

namespace vok::py {

// Thrown once a Python exception has been set.
struct Error {};

// Owns one reference; every exit path releases it.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Returns p, or throws Error when it is null (an exception is then set).
inline PyObject* check(PyObject* p) {
    if (!p) throw Error{};
    return p;
}

// Sets `type` with `message` and throws Error.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// TypeError "'{type qualname}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* o, const char* target);

// The module's internal-failure exception (a RuntimeError subclass that is
// not among the module's public names).
PyObject* internal_error_type();
void set_internal_error(const char* text);

// The poll every entry installs: runs the interpreter's signal handlers
// (on the main thread; elsewhere it returns at once) and says stop when one
// raised, its exception then being set.
inline bool signals_raised(void*) noexcept { return PyErr_CheckSignals() != 0; }

// Declares for the length of the scope (HeldLockScope) the interpreter lock
// when the calling thread holds it, and no lock when it does not: the pool
// gives the lock up while this thread waits for another thread's job, whose
// poll may be waiting for the lock. Every scope that takes or releases the
// lock around library work declares its state anew.
class InterpreterLock {
public:
    InterpreterLock() noexcept = default;
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    static void release(void* self) noexcept { static_cast<InterpreterLock*>(self)->state_ = PyEval_SaveThread(); }
    static void acquire(void* self) noexcept { PyEval_RestoreThread(static_cast<InterpreterLock*>(self)->state_); }
    PyThreadState* state_ = nullptr;
    const HeldLock lock_{release, acquire, this};
    HeldLockScope scope_{PyThreadState_GetUnchecked() ? &lock_ : nullptr};
};

// Runs an entry body and maps C++ exceptions to Python exceptions. A long
// call stops when a signal handler raises (Ctrl-C): its exception is what
// the caller sees.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        InterpreterLock held;
        PollScope poll(signals_raised, nullptr);
        return body();
    } catch (const Error&) {
        return nullptr;
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) set_internal_error("interrupted without a reason");
        return nullptr;
    } catch (const std::bad_alloc& e) {
        if (typeid(e) == typeid(std::bad_alloc)) return PyErr_NoMemory();
        PyErr_SetString(PyExc_MemoryError, e.what());  // a limit of our own, with its reason
        return nullptr;
    } catch (const std::exception& e) {
        set_internal_error(e.what());
        return nullptr;
    } catch (...) {
        set_internal_error("unknown internal failure");
        return nullptr;
    }
}

}  // namespace vok::py
