// Engine access for vok_math.discover: the beam search with the interpreter
// lock released (evaluation of found expressions: engine_eval.cpp).
//
// Expressions cross the boundary as tuples of tokens, each
// (kind, operator, index, value) with the engine's numbering, so Python can
// keep, compare, hash and pickle them and hand them back for evaluation.
// Data arrive as objects exporting contiguous float64 buffers (NumPy arrays),
// one per column, their shape checked with the engine's own message
// (vok_math.discover has already refused columns of different lengths by
// their names).
#include <chrono>
#include <cmath>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "discover/expr.hpp"
#include "discover/fit.hpp"
#include "discover/refine.hpp"
#include "discover/render.hpp"
#include "discover/scoring.hpp"
#include "discover/search.hpp"
#include "engine.hpp"
#include "ext.hpp"
#include "interrupt.hpp"
#include "py_unlocked.hpp"

namespace {

namespace d = vok::discover;
using vok::ext::check;
using vok::ext::PyErrorSet;
using vok::ext::raise;
using vok::ext::Ref;

using vok::ext::doubles_to_tuple;
using vok::ext::read_columns;
using vok::ext::read_doubles;
using vok::ext::read_params;
using vok::ext::read_tokens;
using vok::ext::ReleasedLock;
using vok::ext::tokens_to_py;

// (tokens, error, complexity, rmse, params)
PyObject* result_to_py(const d::SearchResult& r, d::Columns columns, std::span<const double> targets) {
    Ref tokens(tokens_to_py(r.expr));
    Ref params(doubles_to_tuple(r.params));
    const double rmse = d::rmse(r.expr, columns, targets, r.params);
    return check(
        Py_BuildValue("(OdndO)", tokens.get(), r.error, static_cast<Py_ssize_t>(r.complexity), rmse, params.get()));
}

// The fitted search's options from the `fit` dict: top_k, seed, restarts
// (all optional; their defaults are _ext.FIT_DEFAULTS).
d::FitOptions read_fit(PyObject* dict) {
    if (!PyDict_Check(dict)) raise(PyExc_TypeError, "fit must be a dict or None");
    d::FitOptions fit;  // kFitDefaults where the dict is silent
    fit.enabled = true;
    // A snapshot of the items, each held by the list: a value's __index__
    // may change the dict while it is read.
    Ref items(check(PyDict_Items(dict)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 0);
        PyObject* value = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
        const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
        if (!name) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            raise(PyExc_TypeError, "fit's keys are strings");
        }
        const std::string k(name);
        if (k != "top_k" && k != "seed" && k != "restarts") {
            PyErr_Format(PyExc_ValueError, "unknown fit option %R", key);
            throw PyErrorSet{};
        }
        if (k == "seed") {
            const unsigned long long seed = PyLong_AsUnsignedLongLongMask(value);
            if (PyErr_Occurred()) throw PyErrorSet{};
            fit.seed = seed;
            continue;
        }
        const Py_ssize_t n = PyLong_AsSsize_t(value);
        if (n == -1 && PyErr_Occurred()) throw PyErrorSet{};
        if (n < 0) raise(PyExc_ValueError, "fit counts must not be negative");
        (k == "top_k" ? fit.top_k : fit.restarts) = static_cast<std::size_t>(n);
    }
    return fit;
}

// The appended unary operators named by a sequence of strings (each of
// _ext.OPERATORS from code 13 on), as SearchOptions::extra_unary's bits.
std::uint8_t read_extra_unary(PyObject* names) {
    Ref items(check(PySequence_Tuple(names)));
    std::uint8_t bits = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        const char* name = PyUnicode_Check(item) ? PyUnicode_AsUTF8(item) : nullptr;
        if (!name) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            raise(PyExc_TypeError, "operators are named by strings");
        }
        std::size_t code = d::kFirstAppendedCode;
        while (code < d::kOpCount && std::strcmp(name, d::kOperatorNames[code]) != 0) ++code;
        if (code == d::kOpCount) {
            PyErr_Format(PyExc_ValueError, "unknown optional operator %R", item);
            throw PyErrorSet{};
        }
        bits |= static_cast<std::uint8_t>(1u << (code - d::kFirstAppendedCode));
    }
    return bits;
}

// ---- The search --------------------------------------------------------

// Why a search ended before its last level.
enum class Stop { None, TimeLimit, Callback, Interrupt };

struct Control {
    // Seconds between two reports within a level.
    static constexpr std::chrono::milliseconds kReportEvery{200};

    std::optional<std::chrono::steady_clock::time_point> deadline;
    PyObject* progress = nullptr;  // borrowed; None means no callback
    PyObject* within = nullptr;    // borrowed; null means no reports within a level
    ReleasedLock* lock = nullptr;
    Stop stop = Stop::None;
    unsigned long main_thread = 0;  // signals are handled on the main thread only
    d::LevelStatus status;
    std::chrono::steady_clock::time_point last_report = std::chrono::steady_clock::now();
    Ref raised;  // what `within` raised, for the caller once the search has stopped

    // True when the time limit has passed, a report within the level asked
    // to stop, or (main thread only) a signal handler raised: its exception
    // stays set for the caller.
    bool should_stop() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (deadline && now >= *deadline) {
            stop = Stop::TimeLimit;
            return true;
        }
        if (within && now - last_report >= kReportEvery) {
            last_report = now;
            if (!report_within()) return true;
        }
        if (PyThread_get_thread_ident() != main_thread) return false;
        ReleasedLock::Held held(*lock);
        if (PyErr_CheckSignals() < 0) {
            stop = Stop::Interrupt;
            return true;
        }
        return false;
    }

    // Calls within(level, scored, candidates) for the level being scored;
    // false when it returned False or raised (the exception is kept in
    // `raised`, a KeyboardInterrupt stays set as an interrupt).
    bool report_within() noexcept {
        const std::size_t level = status.level.load(std::memory_order_relaxed);
        if (level < 2) return true;
        ReleasedLock::Held held(*lock);
        Ref answer(PyObject_CallFunction(within, "nnn", static_cast<Py_ssize_t>(level),
                                         static_cast<Py_ssize_t>(status.scored.load(std::memory_order_relaxed)),
                                         static_cast<Py_ssize_t>(status.candidates.load(std::memory_order_relaxed))));
        if (!answer) {
            if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
                stop = Stop::Interrupt;
            } else {
                stop = Stop::Callback;
                raised = Ref(PyErr_GetRaisedException());
            }
            return false;
        }
        if (Py_IsFalse(answer.get())) {
            stop = Stop::Callback;
            return false;
        }
        return true;
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

// The fitted search's results beyond its front, gathered on the searching
// thread: each level's best results as handed to the refinement, and the
// shapes the refinement returned.
struct Beam {
    std::vector<d::SearchResult> results;
    std::vector<d::Expr> shapes;

    // The refinement hook `refine`, recording what passes through it.
    d::FitHook recording(d::FitHook refine) {
        return [this, refine = std::move(refine)](const d::FitLevel& level) {
            results.insert(results.end(), level.best.begin(), level.best.end());
            std::vector<d::Expr> out = refine(level);
            shapes.insert(shapes.end(), out.begin(), out.end());
            return out;
        };
    }

    // Appends every result to `list`; the shapes scored as the search scores
    // its refined shapes, with the least-squares scale and offset.
    void append_to(PyObject* list, d::Columns columns, std::span<const double> targets, double penalty) {
        const d::ColumnPointers cols(columns, "beam");
        const double spread = d::FitTargets(targets).spread;
        for (d::Expr& shape : shapes) {
            const std::size_t c = shape.complexity();
            d::Scaled s = d::scale_shape(std::move(shape), cols.view(), targets);
            const double error = d::rmse(s.expr, columns, targets, s.params) / spread * d::penalty_factor(c, penalty);
            results.push_back(d::SearchResult{std::string(), error, c, std::move(s.params), std::move(s.expr)});
        }
        for (const d::SearchResult& r : results) {
            Ref entry(result_to_py(r, columns, targets));
            if (PyList_Append(list, entry.get()) < 0) throw PyErrorSet{};
        }
    }
};

// search(columns, targets, max_complexity, beam_width, precision_goal,
//        complexity_penalty, use_trig, use_vok, time_limit, progress, fit=None,
//        operators=(), beam=None)
// -> (best, complete, stopped_by, front, pending_exception)
PyObject* search(PyObject*, PyObject* args) {
    return vok::ext::guarded([args]() -> PyObject* {
        PyObject *py_columns, *py_targets, *py_time_limit, *progress, *py_fit = Py_None, *py_ops = nullptr;
        PyObject* py_beam = Py_None;
        d::SearchOptions options;
        Py_ssize_t max_complexity, beam_width;
        int use_trig, use_vok;
        if (!PyArg_ParseTuple(args, "OOnnddppOO|OOO:search", &py_columns, &py_targets, &max_complexity, &beam_width,
                              &options.precision_goal, &options.complexity_penalty, &use_trig, &use_vok, &py_time_limit,
                              &progress, &py_fit, &py_ops, &py_beam))
            return nullptr;
        if (py_fit != Py_None) options.fit = read_fit(py_fit);
        if (py_ops) options.extra_unary = read_extra_unary(py_ops);
        if (py_beam != Py_None && !PyList_Check(py_beam)) raise(PyExc_TypeError, "beam must be a list or None");
        if (max_complexity < 0 || beam_width < 0) raise(PyExc_ValueError, "counts must not be negative");
        options.max_complexity = static_cast<std::size_t>(max_complexity);
        options.beam_width = static_cast<std::size_t>(beam_width);
        options.use_trig = use_trig;
        options.use_vok = use_vok;
        const auto columns = read_columns(py_columns);
        const auto targets = read_doubles(py_targets);
        Beam beam;
        if (options.fit.enabled) {
            options.fit.refine = d::refine_hook(columns, targets, options);
            if (py_beam != Py_None) options.fit.refine = beam.recording(std::move(options.fit.refine));
        }

        Control control;
        // progress may be a pair: the callback after each level, and the one
        // within levels.
        if (PyTuple_Check(progress) && PyTuple_GET_SIZE(progress) == 2) {
            control.within = PyTuple_GET_ITEM(progress, 1);
            progress = PyTuple_GET_ITEM(progress, 0);
            if (control.within == Py_None) control.within = nullptr;
        }
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
        hooks.status = &control.status;
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
        if (control.raised) {
            PyErr_SetRaisedException(control.raised.release());
            throw PyErrorSet{};
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
        if (py_beam != Py_None) beam.append_to(py_beam, columns, targets, options.complexity_penalty);
        return check(Py_BuildValue("(OOsOO)", py_best.get(), outcome.complete ? Py_True : Py_False,
                                   memory_limit ? "memory_limit" : stop_name(control.stop), front.get(),
                                   pending ? pending.get() : Py_None));
    });
}

PyMethodDef methods[] = {
    {"search", search, METH_VARARGS,
     "search(columns, targets, max_complexity, beam_width, precision_goal, complexity_penalty, use_trig, "
     "use_vok, time_limit, progress, fit=None, operators=(), beam=None)\n--\n\n"
     "Run one beam search with the interpreter lock released; returns\n"
     "(best, complete, stopped_by, front, pending_exception), each result a tuple\n"
     "(tokens, error, complexity, rmse, params). fit, a dict (keys top_k, seed,\n"
     "restarts), runs the fitted search: every formula scaled and offset by least\n"
     "squares, errors relative to the targets' spread. operators names optional\n"
     "unary operators to build as well (arcsin, arccos, tanh). beam, a list, receives\n"
     "the fitted search's results beyond the front: each level's best results and\n"
     "the refined shapes, as the same tuples. progress: None, a callable\n"
     "progress(level, candidates, best) called after each level, or a pair of it\n"
     "and within(level, scored, candidates), called within a level every 0.2 s."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace vok::ext {

int add_engine(PyObject* module) {
    if (PyModule_AddFunctions(module, methods) < 0 || add_engine_tables(module) < 0) return -1;
    if (add_engine_pickle(module) < 0 || add_engine_eval(module) < 0) return -1;
    return add_engine_fit(module);
}

}  // namespace vok::ext
