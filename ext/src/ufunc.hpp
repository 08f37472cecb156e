// The array layer: vok_core's kernels as NumPy ufuncs.
//
// Every ufunc here is built from ArrayMethod loops (NumPy's loop API since
// 2.0) rather than legacy type strings, for three reasons:
//  * a loop can fail (geometric_product's element faults, a negative
//    Christoffel index) and NumPy raises the error the loop set;
//  * the loops declare that they raise no floating-point flags, so the
//    ufuncs warn as little as the list functions do (nothing), whatever the
//    size of the input and however it was split over the workers;
//  * one promoter per ufunc sends every input to the loop's dtypes (float64,
//    int64 for indices), so float32, integer and bool inputs are cast.
//
// A loop call over many elements is divided over the worker pool; NumPy has
// released the interpreter lock around it, so other Python threads run
// meanwhile. Only the output slots differ between pieces, and a call whose
// output overlaps an input other than element for element (a reduction or
// accumulation) runs on the calling thread in index order.
#pragma once

#include "ext.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vok_ext_ARRAY_API
#define PY_UFUNC_UNIQUE_SYMBOL vok_ext_UFUNC_API
#ifndef VOK_UFUNC_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#define NO_IMPORT_UFUNC
#endif
#include <numpy/arrayobject.h>
#include <numpy/dtype_api.h>
#include <numpy/ufuncobject.h>

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <type_traits>

#include "pool.hpp"
#include "py_error.hpp"

namespace vok::ufunc {

// One operand of a loop call as the overlap test sees it: its first element,
// the step between outer elements and the byte extent of one element (its
// core block for a generalized ufunc).
struct Operand {
    const char* data;
    npy_intp step;
    npy_intp core_len = 1;
    npy_intp core_step = sizeof(double);
};

// True when the bytes of n outer elements of a and b intersect.
bool overlaps(const Operand& a, const Operand& b, npy_intp n);

// True when every output either is one of the inputs element for element or
// shares no byte with any input, and no output repeats a slot: then the
// outer elements are independent and may be computed in any grouping.
bool independent(std::initializer_list<Operand> ins, std::initializer_list<Operand> outs, npy_intp n);

// Sets a Python exception from inside a loop (which runs without the
// interpreter lock) and returns -1, the loop's failure value.
int loop_error(PyObject* type, const std::string& message);

// Runs body(begin, end) over 0..n: on the workers when n reaches
// `parallel_from` and the elements are independent, else on this thread.
// Returns 0, or -1 with an exception set if the pool could not run.
template <class Body>
int run_outer(npy_intp n, npy_intp parallel_from, bool independent_elements, Body&& body) {
    if (n < parallel_from || !independent_elements) {
        body(std::size_t{0}, static_cast<std::size_t>(n));
        return 0;
    }
    try {
        // Threads calling ufuncs at once queue in the pool, which runs one
        // job at a time. NumPy keeps the interpreter lock around a loop whose
        // casts need it (object inputs): declared, it is given up while this
        // thread waits for another thread's job.
        const py::InterpreterLock lock_state;
        parallel_for(static_cast<std::size_t>(n), std::remove_cvref_t<Body>(body));
    } catch (const std::bad_alloc&) {
        return loop_error(PyExc_MemoryError, "out of memory");
    } catch (const std::exception& e) {
        return loop_error(PyExc_RuntimeError, e.what());
    }
    return 0;
}

// What one ufunc is made of. `types` holds one NumPy type number per operand
// (inputs, then outputs); the promoter casts every input to them.
struct Definition {
    const char* name;
    const char* doc;
    int nin;
    int nout;
    const char* signature;  // core dimensions of a generalized ufunc, or nullptr
    std::span<const int> types;
    PyArrayMethod_StridedLoop* loop;
    // A second loop, for operands of unsigned integer types: the promoter
    // picks it when every operand whose type differs between the two loops
    // is unsigned or a Python int, and at least one is unsigned.
    std::span<const int> unsigned_types = {};
    PyArrayMethod_StridedLoop* unsigned_loop = nullptr;
    int identity = PyUFunc_None;
    PyArrayMethod_GetReductionInitial* reduction_initial = nullptr;
    bool reorderable = false;
};

// Creates the ufunc and stores it in `dict` under its name; -1 on failure.
int add_ufunc(PyObject* dict, const Definition& def);

// The two halves of the layer, each adding its ufuncs to `dict`.
int add_elementwise_ufuncs(PyObject* dict);
int add_record_ufuncs(PyObject* dict);

}  // namespace vok::ufunc
