// Engine access for vok_math.discover: shared pieces of the engine part's
// files (engine.cpp: the search; engine_eval.cpp: evaluation; engine_pickle.cpp: rebuilding
// vok_core's search results).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "discover/columns.hpp"
#include "discover/expr.hpp"

#include "interrupt.hpp"
#include "py_error.hpp"

namespace vok::ext {

// A Python exception is set; unwinds to the entry point, which returns null.
// The reference handle and the null check are vok_core's own.
using PyErrorSet = vok::py::Error;
using vok::py::check;
using vok::py::Ref;

// vok_core's boundary: C++ failures become the same Python exceptions
// (std::bad_alloc -> MemoryError with a limit's reason, ...), and a signal
// handler that raises stops the call.
using vok::py::guarded;

// ---- Conversions (engine_convert.cpp) ----
// Sets a Python exception of this type and message and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, const char* message);
// Data as float64 buffers (contiguous, or one-dimensional with any stride);
// columns of at least the first's length.
std::vector<double> read_doubles(PyObject* obj);
std::vector<std::vector<double>> read_columns(PyObject* seq);
// Tokens as (kind, op, index, value) sequences forming one expression over
// n_vars variables (ValueError otherwise); parameters as floats.
discover::Expr read_tokens(PyObject* seq, std::size_t n_vars);
std::vector<double> read_params(PyObject* seq);
PyObject* tokens_to_py(const discover::Expr& expr);
PyObject* doubles_to_tuple(std::span<const double> values);

// Releases the interpreter lock while the engine works; a Held scope takes
// it back on this thread for a little Python work (signals, the callback).
class ReleasedLock {
public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedLock() { reacquire(); }
    void reacquire() {
        if (state_) PyEval_RestoreThread(std::exchange(state_, nullptr));
    }
    struct Held {
        ReleasedLock& lock;
        // The search's poll takes the lock itself: it is off while this
        // thread holds the lock (the engine work done for the callback, the
        // evaluation behind a result's rmse, has interruption points).
        vok::PollScope no_poll{nullptr, nullptr};
        explicit Held(ReleasedLock& l) : lock(l) {
            PyEval_RestoreThread(lock.state_);
            declared.emplace();
        }
        ~Held() {
            declared.reset();
            lock.state_ = PyEval_SaveThread();
        }
        std::optional<vok::py::InterpreterLock> declared;  // for the engine work done for the callback
    };

private:
    PyThreadState* state_;
    vok::py::InterpreterLock not_held_;  // after state_: declares no lock
};

// Adds the result-rebuilding function of engine_pickle.cpp.
int add_engine_pickle(PyObject* module);
// Adds the evaluation, rmse, text and token check of engine_eval.cpp.
int add_engine_eval(PyObject* module);
// Adds the refit of engine_fit.cpp.
int add_engine_fit(PyObject* module);
// Adds the engine's declaration tables of engine_tables.cpp.
int add_engine_tables(PyObject* module);

}  // namespace vok::ext
