// Element-wise ufuncs: the eleven formulas of exp_n ... tension_n, and the
// Schwarzschild Christoffel symbol, applied to every element of broadcast
// float64 arrays. Each element gets exactly the value the list function gives
// it: the formula is the kernel's own (elementwise.hpp, metric.hpp).
#include <atomic>
#include <cstdint>
#include <type_traits>

#include "elementwise.hpp"
#include "metric.hpp"
#include "ufunc.hpp"

namespace vok::ufunc {
namespace {

// Below this many elements a hand-off to the workers costs more than the
// work: the list functions' threshold (machine.hpp).
constexpr npy_intp kParallelFrom = inline_below(kElementwiseCost);

template <class T>
T load(const char* base, npy_intp step, std::size_t i) {
    return *reinterpret_cast<const T*>(base + static_cast<npy_intp>(i) * step);
}
inline void store(char* base, npy_intp step, std::size_t i, double v) {
    *reinterpret_cast<double*>(base + static_cast<npy_intp>(i) * step) = v;
}

template <double (*F)(double)>
int unary_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
    const npy_intp n = dims[0];
    const char* x = data[0];
    char* out = data[1];
    const npy_intp sx = steps[0], so = steps[1];
    return run_outer(n, kParallelFrom, independent({{x, sx}}, {{out, so}}, n), [=](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) store(out, so, i, F(load<double>(x, sx, i)));
    });
}

template <double (*F)(double, double)>
int binary_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* steps, NpyAuxData*) {
    const npy_intp n = dims[0];
    const char *a = data[0], *b = data[1];
    char* out = data[2];
    const npy_intp sa = steps[0], sb = steps[1], so = steps[2];
    return run_outer(n, kParallelFrom, independent({{a, sa}, {b, sb}}, {{out, so}}, n),
                     [=](std::size_t begin, std::size_t end) {
                         for (std::size_t i = begin; i < end; ++i)
                             store(out, so, i, F(load<double>(a, sa, i), load<double>(b, sb, i)));
                     });
}

// Reductions start from the identity: +0.0 for an empty sum (as sum([]) is),
// -0.0 otherwise (x + -0.0 is x for every x, -0.0 included); 1.0 for products.
int sum_initial(PyArrayMethod_Context*, npy_bool empty, void* initial) {
    *static_cast<double*>(initial) = empty ? 0.0 : -0.0;
    return 1;
}
int product_initial(PyArrayMethod_Context*, npy_bool, void* initial) {
    *static_cast<double*>(initial) = 1.0;
    return 1;
}

// christoffel(x, lam, mu, nu, rs): the indices are counts, as in the list
// function; a negative one fails the call with the same OverflowError. Index
// arrays of unsigned types have a loop of their own (Index = std::uint64_t),
// so that indices from 2^63 up are taken as they are, as the list function
// takes them.
template <class Index>
int christoffel_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* steps,
                     NpyAuxData*) {
    const npy_intp n = dims[0];
    const char *x = data[0], *lam = data[1], *mu = data[2], *nu = data[3], *rs = data[4];
    char* out = data[5];
    const npy_intp* s = steps;
    std::atomic<bool> negative{false};
    const bool split = independent({{x, s[0]}, {lam, s[1]}, {mu, s[2]}, {nu, s[3]}, {rs, s[4]}}, {{out, s[5]}}, n);
    const int rc = run_outer(n, kParallelFrom, split, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const Index l = load<Index>(lam, s[1], i), m = load<Index>(mu, s[2], i), v = load<Index>(nu, s[3], i);
            if (std::is_signed_v<Index> && (l < 0 || m < 0 || v < 0)) {
                negative.store(true, std::memory_order_relaxed);
                return;
            }
            const double value =
                christoffel(load<double>(x, s[0], i), static_cast<std::uint64_t>(l), static_cast<std::uint64_t>(m),
                            static_cast<std::uint64_t>(v), load<double>(rs, s[4], i));
            store(out, s[5], i, value);
        }
    });
    if (rc < 0) return rc;
    return negative.load() ? loop_error(PyExc_OverflowError, "can't convert negative int to unsigned") : 0;
}

constexpr int kD1[] = {NPY_DOUBLE, NPY_DOUBLE};
constexpr int kD2[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
constexpr int kChristoffelTypes[] = {NPY_DOUBLE, NPY_INT64, NPY_INT64, NPY_INT64, NPY_DOUBLE, NPY_DOUBLE};
constexpr int kChristoffelUnsignedTypes[] = {NPY_DOUBLE, NPY_UINT64, NPY_UINT64, NPY_UINT64, NPY_DOUBLE, NPY_DOUBLE};

Definition unary(const char* name, const char* doc, PyArrayMethod_StridedLoop* loop) {
    return {name, doc, 1, 1, nullptr, kD1, loop};
}
Definition binary(const char* name, const char* doc, PyArrayMethod_StridedLoop* loop) {
    return {name, doc, 2, 1, nullptr, kD2, loop};
}

}  // namespace

int add_elementwise_ufuncs(PyObject* dict) {
    namespace ew = vok::elementwise;
    Definition add = binary("add", "a + b, as add_n.", &binary_loop<ew::add>);
    add.identity = PyUFunc_Zero;
    add.reduction_initial = &sum_initial;
    add.reorderable = true;
    Definition mul = binary("mul", "a * b, as mul_n.", &binary_loop<ew::mul>);
    mul.identity = PyUFunc_One;
    mul.reduction_initial = &product_initial;
    mul.reorderable = true;
    const Definition defs[] = {
        unary("exp", "exp of the guarded exponent (ln(x) above 709.78), as exp_n.", &unary_loop<ew::exp>),
        unary("ln", "ln of the guarded argument (max(|y|, 1e-300) for y <= 0), as ln_n.", &unary_loop<ew::ln>),
        add,
        binary("sub", "a - b, as sub_n.", &binary_loop<ew::sub>),
        mul,
        binary("div", "a / b, NaN where |b| < 1e-300, as div_n.", &binary_loop<ew::div>),
        unary("sqrt", "sqrt(|x|), as sqrt_n.", &unary_loop<ew::sqrt>),
        unary("sin", "sin(x), as sin_n.", &unary_loop<ew::sin>),
        unary("cos", "cos(x), as cos_n.", &unary_loop<ew::cos>),
        binary("pow", "pow(|base|, exp), as pow_n.", &binary_loop<ew::pow>),
        binary("tension", "The tension exp(e(x)) - ln(l(y)) of the point (x, y), as tension_n.",
               &binary_loop<ew::tension>),
        {"christoffel",
         "Gamma^lam_{mu nu} of the Schwarzschild metric with radius rs at r = exp(x), as christoffel_batch_n.\n\n"
         "x is the first coordinate of christoffel_batch_n's points (the log of the radius); for an array of\n"
         "points p of shape (..., 2) pass p[..., 0]. lam, mu and nu are non-negative integers and broadcast\n"
         "like every other argument.",
         5, 1, nullptr, kChristoffelTypes, &christoffel_loop<std::int64_t>, kChristoffelUnsignedTypes,
         &christoffel_loop<std::uint64_t>},
    };
    for (const Definition& def : defs)
        if (add_ufunc(dict, def) < 0) return -1;
    return 0;
}

}  // namespace vok::ufunc
