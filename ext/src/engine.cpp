// Engine access for vok_math.discover: the beam search with the interpreter
// lock released, and evaluation of found expressions on new data.
//
// Expressions cross the boundary as tuples of tokens, each
// (kind, operator, index, value) with the engine's numbering, so Python can
// keep, compare, hash and pickle them and hand them back for evaluation.
// Data arrive as objects exporting contiguous float64 buffers (NumPy arrays),
// one per column; vok_math.discover has already checked their shapes.
#include <chrono>
#include <cmath>
#include <cstring>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discover/expr.hpp"
#include "discover/render.hpp"
#include "discover/search.hpp"
#include "engine.hpp"
#include "ext.hpp"
#include "interrupt.hpp"
#include "py_unlocked.hpp"

namespace {

namespace d = vok::discover;
using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::Ref;

[[noreturn]] void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

// ---- Conversion --------------------------------------------------------

bool is_float64_format(const char* f) {
    return f && (!std::strcmp(f, "d") || !std::strcmp(f, "<d") || !std::strcmp(f, "=d") || !std::strcmp(f, "@d"));
}

std::vector<double> read_doubles(PyObject* obj) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) throw PyErrorSet{};
    std::vector<double> out;
    const bool ok = view.itemsize == sizeof(double) && is_float64_format(view.format);
    if (ok) {
        const auto* p = static_cast<const double*>(view.buf);
        out.assign(p, p + view.len / static_cast<Py_ssize_t>(sizeof(double)));
    }
    PyBuffer_Release(&view);
    if (!ok) raise(PyExc_TypeError, "expected a contiguous float64 buffer");
    return out;
}

std::vector<std::vector<double>> read_columns(PyObject* seq) {
    Ref items(check(PySequence_Tuple(seq)));
    std::vector<std::vector<double>> columns;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); ++j)
        columns.push_back(read_doubles(PyTuple_GET_ITEM(items.get(), j)));
    if (columns.empty()) raise(PyExc_ValueError, "at least one column is needed");
    for (const auto& c : columns)
        if (c.size() < columns[0].size()) raise(PyExc_ValueError, "a column is shorter than the first");
    return columns;
}

d::Expr read_tokens(PyObject* seq) {
    Ref items(check(PySequence_Tuple(seq)));
    d::Expr expr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        unsigned char kind = 0, op = 0;
        Py_ssize_t index = 0;
        double value = 0;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(items.get(), i), "bbnd;a token is (kind, op, index, value)", &kind, &op,
                              &index, &value))
            throw PyErrorSet{};
        if (kind > 3 || op >= d::kOpCount || index < 0) raise(PyExc_ValueError, "invalid token");
        expr.tokens.push_back(d::Token{static_cast<d::TokenKind>(kind), static_cast<d::OpCode>(op),
                                       static_cast<std::size_t>(index), value});
    }
    return expr;
}

PyObject* tokens_to_py(const d::Expr& expr) {
    Ref out(check(PyTuple_New(static_cast<Py_ssize_t>(expr.tokens.size()))));
    for (std::size_t i = 0; i < expr.tokens.size(); ++i) {
        const d::Token& t = expr.tokens[i];
        PyObject* item = check(Py_BuildValue("(iind)", static_cast<int>(t.kind), static_cast<int>(t.op),
                                             static_cast<Py_ssize_t>(t.index), t.value));
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

// ---- Scores ------------------------------------------------------------

// The root-mean-square error exactly as the search forms it before the
// complexity penalty: squared differences summed in row order from -0.0 over
// the shorter of predictions and targets, divided by the target count.
double rmse_of(const d::Expr& expr, d::Columns columns, std::span<const double> targets) {
    const auto predictions = d::eval_batch(expr, columns, {});
    if (!predictions) return std::nan("");
    const std::size_t n = std::min(predictions->size(), targets.size());
    double sum = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double diff = (*predictions)[i] - targets[i];
        sum += diff * diff;
    }
    return std::sqrt(sum / static_cast<double>(targets.size()));
}

// (tokens, error, complexity, rmse)
PyObject* result_to_py(const d::SearchResult& r, d::Columns columns, std::span<const double> targets) {
    Ref tokens(tokens_to_py(r.expr));
    return check(Py_BuildValue("(Odnd)", tokens.get(), r.error, static_cast<Py_ssize_t>(r.complexity),
                               rmse_of(r.expr, columns, targets)));
}

// ---- The search --------------------------------------------------------

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

// Why a search ended before its last level.
enum class Stop { None, TimeLimit, Callback, Interrupt };

struct Control {
    std::optional<std::chrono::steady_clock::time_point> deadline;
    PyObject* progress = nullptr;  // borrowed; None means no callback
    ReleasedLock* lock = nullptr;
    Stop stop = Stop::None;
    unsigned long main_thread = 0;  // signals are handled on the main thread only

    // True when the time limit has passed, or (main thread only) a signal
    // handler raised: its exception stays set for the caller.
    bool should_stop() noexcept {
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
            stop = Stop::TimeLimit;
            return true;
        }
        if (PyThread_get_thread_ident() != main_thread) return false;
        ReleasedLock::Held held(*lock);
        if (PyErr_CheckSignals() < 0) {
            stop = Stop::Interrupt;
            return true;
        }
        return false;
    }

    // The pool's poll while a level is scored: every 50 ms at most.
    static bool poll(void* self) noexcept { return static_cast<Control*>(self)->should_stop(); }

    // After each level, on the searching thread with the lock released:
    // false ends the search (time limit, signal handler exception, the
    // callback returning False); PyErrorSet when the callback raised.
    bool after_level(const d::LevelProgress& p, d::Columns columns, std::span<const double> targets) {
        if (should_stop()) return false;
        if (progress == Py_None) return true;
        ReleasedLock::Held held(*lock);
        Ref best(p.best ? result_to_py(*p.best, columns, targets) : Py_NewRef(Py_None));
        Ref answer(PyObject_CallFunction(progress, "nnO", static_cast<Py_ssize_t>(p.level),
                                         static_cast<Py_ssize_t>(p.candidates), best.get()));
        if (!answer) {
            // Ctrl-C while the callback ran is an interrupt like any other.
            if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw PyErrorSet{};
            stop = Stop::Interrupt;
            return false;
        }
        if (Py_IsFalse(answer.get())) {
            stop = Stop::Callback;
            return false;
        }
        return true;
    }
};

const char* stop_name(Stop s) {
    switch (s) {
        case Stop::TimeLimit:
            return "time_limit";
        case Stop::Callback:
            return "callback";
        case Stop::Interrupt:
            return "interrupt";
        case Stop::None:
            break;
    }
    return "";
}

// search(columns, targets, max_complexity, beam_width, precision_goal,
//        complexity_penalty, use_trig, use_vok, time_limit, progress)
// -> (best, complete, stopped_by, front, pending_exception)
PyObject* search(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_columns, *py_targets, *py_time_limit, *progress;
        d::SearchOptions options;
        Py_ssize_t max_complexity, beam_width;
        int use_trig, use_vok;
        if (!PyArg_ParseTuple(args, "OOnnddppOO:search", &py_columns, &py_targets, &max_complexity, &beam_width,
                              &options.precision_goal, &options.complexity_penalty, &use_trig, &use_vok, &py_time_limit,
                              &progress))
            return nullptr;
        if (max_complexity < 0 || beam_width < 0) raise(PyExc_ValueError, "counts must not be negative");
        options.max_complexity = static_cast<std::size_t>(max_complexity);
        options.beam_width = static_cast<std::size_t>(beam_width);
        options.use_trig = use_trig;
        options.use_vok = use_vok;
        const auto columns = read_columns(py_columns);
        const auto targets = read_doubles(py_targets);

        Control control;
        control.progress = progress;
        Ref threading(check(PyImport_ImportModule("threading")));
        Ref main(check(PyObject_CallMethod(threading.get(), "main_thread", nullptr)));
        Ref ident(check(PyObject_GetAttrString(main.get(), "ident")));
        control.main_thread = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) throw PyErrorSet{};
        if (py_time_limit != Py_None) {
            const double seconds = PyFloat_AsDouble(py_time_limit);
            if (seconds == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
            control.deadline =
                std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                       std::chrono::duration<double>(std::min(seconds, 1e9)));
        }
        // During the calling thread's own work (building candidates), as the
        // pool's poll does while the workers score.
        options.checkpoint = [&control] {
            if (control.should_stop()) throw vok::Interrupted{};
        };
        d::SearchHooks hooks;
        hooks.pareto = true;
        hooks.on_level = [&](const d::LevelProgress& p) { return control.after_level(p, columns, targets); };

        d::SearchOutcome outcome;
        {
            ReleasedLock lock;
            control.lock = &lock;
            vok::PollScope poll_scope(&Control::poll, &control);
            try {
                outcome = d::search_controlled(columns, targets, columns.size(), options, hooks);
            } catch (...) {
                lock.reacquire();
                throw;
            }
        }
        const bool memory_limit = outcome.reason == d::StopReason::MemoryLimit;
        // A signal handler's exception stays pending for the caller to decide.
        Ref pending(control.stop == Stop::Interrupt ? PyErr_GetRaisedException() : nullptr);
        Ref py_best(outcome.best ? result_to_py(*outcome.best, columns, targets) : Py_NewRef(Py_None));
        Ref front(check(PyList_New(0)));
        for (const d::SearchResult& r : outcome.pareto) {
            Ref entry(result_to_py(r, columns, targets));
            if (PyList_Append(front.get(), entry.get()) < 0) throw PyErrorSet{};
        }
        return check(Py_BuildValue("(OOsOO)", py_best.get(), outcome.complete ? Py_True : Py_False,
                                   memory_limit ? "memory_limit" : stop_name(control.stop), front.get(),
                                   pending ? pending.get() : Py_None));
    });
}

// evaluate(tokens, columns) -> bytes: the expression's value at every row as
// float64, NaN for a row where the engine's evaluator fails (a domain or
// finiteness failure of any operator).
PyObject* evaluate(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_tokens, *py_columns;
        if (!PyArg_ParseTuple(args, "OO:evaluate", &py_tokens, &py_columns)) return nullptr;
        const d::Expr expr = read_tokens(py_tokens);
        const auto columns = read_columns(py_columns);
        const std::size_t rows = columns[0].size();
        std::vector<double> values;
        vok::py::unlocked([&] {
            if (auto all = d::eval_batch(expr, columns, {})) {
                values = std::move(*all);
            } else {
                // Some row fails: evaluate row by row to keep the others.
                values.resize(rows);
                std::vector<double> point(columns.size());
                for (std::size_t r = 0; r < rows; ++r) {
                    for (std::size_t j = 0; j < columns.size(); ++j) point[j] = columns[j][r];
                    values[r] = d::eval(expr, point, {}).value_or(std::nan(""));
                    vok::interruption_point(expr.tokens.size());
                }
            }
        });
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                         static_cast<Py_ssize_t>(values.size() * sizeof(double)));
    });
}

// render(tokens, names) -> str: the engine's formula text with names[i]
// written for variable i.
PyObject* render(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_tokens, *py_names;
        if (!PyArg_ParseTuple(args, "OO:render", &py_tokens, &py_names)) return nullptr;
        const d::Expr expr = read_tokens(py_tokens);
        Ref items(check(PySequence_Tuple(py_names)));
        std::vector<std::string> names;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(items.get(), i), &size);
            if (!text) throw PyErrorSet{};
            names.emplace_back(text, static_cast<std::size_t>(size));
        }
        const std::string text = d::to_string(expr, names);
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    });
}

PyMethodDef methods[] = {
    {"render", render, METH_VARARGS,
     "render(tokens, names)\n--\n\nThe engine's formula text with the variables' names."},
    {"search", search, METH_VARARGS,
     "search(columns, targets, max_complexity, beam_width, precision_goal, complexity_penalty, use_trig, "
     "use_vok, time_limit, progress)\n--\n\n"
     "Run one beam search with the interpreter lock released; returns\n"
     "(best, complete, stopped_by, front, pending_exception)."},
    {"evaluate", evaluate, METH_VARARGS,
     "evaluate(tokens, columns)\n--\n\n"
     "The expression's float64 values at every row, as bytes (NaN where it fails)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace vok::ext {

int add_engine(PyObject* module) {
    if (PyModule_AddFunctions(module, methods) < 0) return -1;
    return add_engine_pickle(module);
}

}  // namespace vok::ext
