// Engine access for vok_math.discover: shared pieces of the engine part's
// files (engine.cpp: search and evaluation; engine_pickle.cpp: rebuilding
// vok_core's search results).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vok::ext {

// A Python exception is set; unwinds to the entry point, which returns null.
struct PyErrorSet {};

// Owns one reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A new reference, or PyErrorSet when the call that made it failed.
inline PyObject* check(PyObject* p) {
    if (!p) throw PyErrorSet{};
    return p;
}

// Runs body and turns C++ failures into Python exceptions at the boundary.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "vok_math._ext: unknown internal failure");
    }
    return nullptr;
}

// Adds the result-rebuilding function of engine_pickle.cpp.
int add_engine_pickle(PyObject* module);

}  // namespace vok::ext
