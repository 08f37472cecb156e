// The array layer's part of vok_math._ext: the function `ufuncs()`, which
// imports NumPy and builds the ufuncs on its first call, and the pieces every
// ufunc shares (promotion, overlap test, errors from loops).
//
// NumPy is imported only when the ufuncs are asked for, so the module (and
// everything else in it) imports without NumPy installed.
#define VOK_UFUNC_IMPORTS_NUMPY
#include "ufunc.hpp"

#include <algorithm>
#include <array>
#include <new>

namespace vok::ufunc {

namespace {

// The loop dtypes of each ufunc, looked up by the promoter. Filled while the
// ufuncs are built (under the interpreter lock), read-only afterwards.
struct Registered {
    PyObject* ufunc;
    std::span<const int> types;
    std::span<const int> unsigned_types;
};

// True when the inputs suit the unsigned loop (Definition::unsigned_types).
bool wants_unsigned(const Registered& r, PyArray_DTypeMeta* const op_dtypes[]) {
    bool any = false;
    for (std::size_t i = 0; i < r.unsigned_types.size(); ++i) {
        if (r.types[i] == r.unsigned_types[i]) continue;
        PyArray_DTypeMeta* dtype = op_dtypes[i];
        if (!dtype) return false;
        if (dtype == &PyArray_PyLongDType) continue;
        if (!PyTypeNum_ISUNSIGNED(dtype->type_num)) return false;
        any = true;
    }
    return any;
}
std::array<Registered, 32> g_registry{};
std::size_t g_registered = 0;

// Any input DTypes -> the loop's DTypes, except where the caller fixed one
// with `dtype=` or `signature=` (NumPy then reports that no loop matches).
int promote(PyObject* ufunc, PyArray_DTypeMeta* const op_dtypes[], PyArray_DTypeMeta* const signature[],
            PyArray_DTypeMeta* new_op_dtypes[]) {
    const auto* entry = std::find_if(g_registry.begin(), g_registry.begin() + g_registered,
                                     [ufunc](const Registered& r) { return r.ufunc == ufunc; });
    if (entry == g_registry.begin() + g_registered) {
        PyErr_SetString(PyExc_TypeError, "no loop for this ufunc");
        return -1;
    }
    const std::span<const int> types = wants_unsigned(*entry, op_dtypes) ? entry->unsigned_types : entry->types;
    for (std::size_t i = 0; i < types.size(); ++i) {
        PyArray_DTypeMeta* dtype = signature[i];
        if (!dtype) {
            PyArray_Descr* descr = PyArray_DescrFromType(types[i]);
            dtype = NPY_DTYPE(descr);
            Py_INCREF(dtype);
            Py_DECREF(descr);
        } else {
            Py_INCREF(dtype);
        }
        new_op_dtypes[i] = dtype;
    }
    return 0;
}

// Byte range [lo, hi) touched by n outer elements of an operand.
struct Range {
    const char* lo;
    const char* hi;
};
Range range_of(const Operand& op, npy_intp n) {
    const npy_intp outer = (n - 1) * op.step, core = (op.core_len - 1) * op.core_step;
    const npy_intp lo = std::min<npy_intp>(outer, 0) + std::min<npy_intp>(core, 0);
    const npy_intp hi = std::max<npy_intp>(outer, 0) + std::max<npy_intp>(core, 0) + npy_intp{sizeof(double)};
    return {op.data + lo, op.data + hi};
}
bool overlap(Range a, Range b) { return a.lo < b.hi && b.lo < a.hi; }

PyObject* g_ufuncs = nullptr;  // name -> ufunc, built once

PyObject* ufuncs(PyObject*, PyObject*) {
    if (!g_ufuncs) {
        if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0) return nullptr;
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        if (add_elementwise_ufuncs(dict) < 0 || add_record_ufuncs(dict) < 0) {
            Py_DECREF(dict);  // frees the ufuncs made so far: forget them
            g_registered = 0;
            return nullptr;
        }
        g_ufuncs = dict;
    }
    return Py_NewRef(g_ufuncs);
}

PyMethodDef g_methods[] = {
    {"ufuncs", ufuncs, METH_NOARGS,
     "ufuncs()\n--\n\n"
     "The kernels as NumPy ufuncs, by name (imports NumPy; built on the first call)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool overlaps(const Operand& a, const Operand& b, npy_intp n) { return overlap(range_of(a, n), range_of(b, n)); }

bool independent(std::initializer_list<Operand> ins, std::initializer_list<Operand> outs, npy_intp n) {
    for (const Operand& out : outs) {
        if (out.step == 0 && n > 1) return false;  // every element writes the same slot
        const Range o = range_of(out, n);
        for (const Operand& in : ins) {
            const bool same_elements = in.data == out.data && in.step == out.step && in.core_len == out.core_len &&
                                       in.core_step == out.core_step;
            if (!same_elements && overlap(o, range_of(in, n))) return false;
        }
    }
    return true;
}

int loop_error(PyObject* type, const std::string& message) {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyErr_SetString(type, message.c_str());
    PyGILState_Release(state);
    return -1;
}

namespace {

int add_loop(PyObject* uf, const Definition& def, std::span<const int> types, PyArrayMethod_StridedLoop* loop) {
    std::array<PyArray_DTypeMeta*, 8> dtypes{};
    for (std::size_t i = 0; i < types.size(); ++i) {
        PyArray_Descr* descr = PyArray_DescrFromType(types[i]);
        dtypes[i] = NPY_DTYPE(descr);
        Py_DECREF(descr);  // DType classes of builtin types live as long as NumPy
    }
    PyType_Slot slots[] = {
        {NPY_METH_strided_loop, reinterpret_cast<void*>(loop)},
        {def.reduction_initial ? NPY_METH_get_reduction_initial : 0, reinterpret_cast<void*>(def.reduction_initial)},
        {0, nullptr},
    };
    int flags = NPY_METH_NO_FLOATINGPOINT_ERRORS;
    if (def.reorderable) flags |= NPY_METH_IS_REORDERABLE;
    PyArrayMethod_Spec method = {
        def.name, def.nin, def.nout, NPY_NO_CASTING, static_cast<NPY_ARRAYMETHOD_FLAGS>(flags), dtypes.data(), slots,
    };
    return PyUFunc_AddLoopFromSpec(uf, &method);
}

}  // namespace

int add_ufunc(PyObject* dict, const Definition& def) {
    if (g_registered == g_registry.size()) {
        PyErr_SetString(PyExc_RuntimeError, "too many ufuncs");
        return -1;
    }
    PyObject* uf = PyUFunc_FromFuncAndDataAndSignature(nullptr, nullptr, nullptr, 0, def.nin, def.nout, def.identity,
                                                       def.name, def.doc, 0, def.signature);
    if (!uf) return -1;

    int rc = add_loop(uf, def, def.types, def.loop);
    if (rc == 0 && def.unsigned_loop) rc = add_loop(uf, def, def.unsigned_types, def.unsigned_loop);

    // The promoter matches any DTypes (None) and sends them to the loop's.
    PyObject* any = rc < 0 ? nullptr : PyTuple_New(def.nin + def.nout);
    PyObject* capsule =
        any ? PyCapsule_New(reinterpret_cast<void*>(&promote), "numpy._ufunc_promoter", nullptr) : nullptr;
    if (capsule) {
        for (int i = 0; i < def.nin + def.nout; ++i) PyTuple_SET_ITEM(any, i, Py_NewRef(Py_None));
        g_registry[g_registered++] = {uf, def.types, def.unsigned_types};
        rc = PyUFunc_AddPromoter(uf, any, capsule);
    } else {
        rc = -1;
    }
    Py_XDECREF(capsule);
    Py_XDECREF(any);
    if (rc == 0) rc = PyDict_SetItemString(dict, def.name, uf);
    if (rc < 0 && g_registered && g_registry[g_registered - 1].ufunc == uf) --g_registered;
    Py_DECREF(uf);
    return rc;
}

}  // namespace vok::ufunc

namespace vok::ext {

int add_ufunc_part(PyObject* module) { return PyModule_AddFunctions(module, ufunc::g_methods) < 0 ? -1 : 0; }

}  // namespace vok::ext
