// Generalized ufuncs over records: the Lorentz boost of points (..., 2), the
// octonion product (..., 8) and the geometric product (..., 2**d). Each
// record gets exactly the value the list function gives it: the kernel is
// the same (point.hpp, octonion.hpp, multivector.hpp).
#include <algorithm>
#include <bit>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "multivector.hpp"
#include "octonion.hpp"
#include "point.hpp"
#include "ufunc.hpp"

namespace vok::ufunc {
namespace {

// Parallel thresholds in records: the list functions' own (machine.hpp).
constexpr npy_intp kBoostParallelFrom = inline_below(kBoostCost);
constexpr npy_intp kOctonionParallelFrom = inline_below(kOctonionProductCost);

template <class T>
const T& at(const char* base, npy_intp step, npy_intp i) {
    return *reinterpret_cast<const T*>(base + i * step);
}
template <class T>
T& at(char* base, npy_intp step, npy_intp i) {
    return *reinterpret_cast<T*>(base + i * step);
}

// boost: (2),(),()->(2). steps: points, phi, c, out, then the core steps of
// points and out.
int boost_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* s, NpyAuxData*) {
    const npy_intp n = dims[0];
    const char *p = data[0], *phi = data[1], *c = data[2];
    char* out = data[3];
    const npy_intp cp = s[4], co = s[5];
    const bool split = independent({{p, s[0], 2, cp}, {phi, s[1]}, {c, s[2]}}, {{out, s[3], 2, co}}, n);
    return run_outer(n, kBoostParallelFrom, split, [=](std::size_t b, std::size_t e) {
        for (npy_intp i = static_cast<npy_intp>(b); i < static_cast<npy_intp>(e); ++i) {
            const char* pi = p + i * s[0];
            const PointXY r =
                boost({at<double>(pi, cp, 0), at<double>(pi, cp, 1)}, at<double>(phi, s[1], i), at<double>(c, s[2], i));
            char* oi = out + i * s[3];
            at<double>(oi, co, 0) = r.x;
            at<double>(oi, co, 1) = r.y;
        }
    });
}

// octonion_mul: (8),(8)->(8). steps: a, b, out, then their core steps.
int octonion_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* s, NpyAuxData*) {
    const npy_intp n = dims[0];
    const char *a = data[0], *b = data[1];
    char* out = data[2];
    const bool split = independent({{a, s[0], 8, s[3]}, {b, s[1], 8, s[4]}}, {{out, s[2], 8, s[5]}}, n);
    return run_outer(n, kOctonionParallelFrom, split, [=](std::size_t begin, std::size_t end) {
        for (npy_intp i = static_cast<npy_intp>(begin); i < static_cast<npy_intp>(end); ++i) {
            Octonion x, y;
            for (npy_intp k = 0; k < 8; ++k) {
                x[k] = at<double>(a + i * s[0], s[3], k);
                y[k] = at<double>(b + i * s[1], s[4], k);
            }
            const Octonion z = octonion_mul(x, y);
            for (npy_intp k = 0; k < 8; ++k) at<double>(out + i * s[2], s[5], k) = z[k];
        }
    });
}

// ------------------------------------------------------- geometric product

// The first failure of a call, by element index: the list function reports
// the lowest failing element, and so does the ufunc, however the elements
// were divided over the workers.
class FirstFault {
public:
    void offer(npy_intp element, PyObject* type, std::string message) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (element_ >= 0 && element_ <= element) return;
        element_ = element;
        type_ = type;
        message_ = std::move(message);
    }
    // Raises the recorded failure (-1), or 0 when there was none.
    int raise() const { return element_ < 0 ? 0 : loop_error(type_, message_); }

private:
    std::mutex mutex_;
    npy_intp element_ = -1;
    PyObject* type_ = nullptr;
    std::string message_;
};

// The list function's texts, with the ufunc's name.
std::string fault_text(npy_intp element, const ProductFault& f, std::size_t a_len, std::size_t sig_len) {
    return product_fault_text("geometric_product", static_cast<std::size_t>(element), f, a_len, sig_len);
}

// A signature of int64 entries as the kernel's small integers; false when an
// entry lies outside -128..127.
bool read_signature(const char* base, npy_intp step, npy_intp len, std::vector<std::int8_t>& out) {
    out.resize(static_cast<std::size_t>(len));
    for (npy_intp k = 0; k < len; ++k) {
        const std::int64_t v = at<std::int64_t>(base, step, k);
        if (v < -128 || v > 127) return false;
        out[static_cast<std::size_t>(k)] = static_cast<std::int8_t>(v);
    }
    return true;
}
constexpr const char* kSignatureRange = "out of range integral type conversion attempted";

// geometric_product: (n),(n),(k)->(n). steps: a, b, signature, out, then the
// core steps of the four.
int product_loop(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* s, NpyAuxData*) {
    const npy_intp count = dims[0], len = dims[1], sig_len = dims[2];
    const char *a = data[0], *b = data[1], *sig = data[2];
    char* out = data[3];
    const npy_intp ca = s[4], cb = s[5], cs = s[6], cc = s[7];
    const auto n = static_cast<std::size_t>(len);

    // A signature shared by every element is read once, with a factor table
    // when one pays (as the list function decides: whenever a product has
    // more than one coefficient).
    const bool shared = s[2] == 0 || count <= 1;
    std::vector<std::int8_t> shared_sig;
    if (shared && count > 0 && !read_signature(sig, cs, sig_len, shared_sig))
        return loop_error(PyExc_OverflowError, kSignatureRange);
    std::optional<BladeFactors> table;
    if (shared && count > 0 && len > 1 && n <= BladeFactors::kMaxSize) table.emplace(std::bit_ceil(n), shared_sig);

    const Operand in_a{a, s[0], len, ca}, in_b{b, s[1], len, cb}, result{out, s[3], len, cc};
    const bool split = independent({in_a, in_b, {sig, s[2], sig_len, cs}}, {result}, count);
    // The product adds into its output while it reads a and b: when the
    // output is one of them (out=a), each product is made aside first.
    const bool direct = cc == sizeof(double) && !overlaps(result, in_a, count) && !overlaps(result, in_b, count);
    FirstFault fault;
    // Products adding up to little work stay on the calling thread.
    const auto terms_each = static_cast<std::size_t>(std::max<npy_intp>(len * len, 1));
    const auto parallel_from =
        std::max<npy_intp>(2, static_cast<npy_intp>(inline_below(terms_each * kProductTermCost)));
    const int rc = run_outer(count, parallel_from, split, [&](std::size_t begin, std::size_t end) {
        // Strided records are gathered into contiguous ones, per piece.
        std::vector<double> xa, xb, xc(n);
        std::vector<std::int8_t> own_sig;
        for (npy_intp i = static_cast<npy_intp>(begin); i < static_cast<npy_intp>(end); ++i) {
            const char* ai = a + i * s[0];
            const char* bi = b + i * s[1];
            char* ci = out + i * s[3];
            if (!shared && !read_signature(sig + i * s[2], cs, sig_len, own_sig)) {
                fault.offer(i, PyExc_OverflowError, kSignatureRange);
                return;
            }
            const std::span<const std::int8_t> signature = shared ? shared_sig : own_sig;
            auto record = [n](const char* base, npy_intp step, std::vector<double>& buf) -> std::span<const double> {
                if (step == sizeof(double)) return {reinterpret_cast<const double*>(base), n};
                buf.resize(n);
                for (std::size_t k = 0; k < n; ++k) buf[k] = at<double>(base, step, static_cast<npy_intp>(k));
                return buf;
            };
            const std::span<const double> x = record(ai, ca, xa), y = record(bi, cb, xb);
            const std::span<double> c =
                direct ? std::span<double>(reinterpret_cast<double*>(ci), n) : std::span<double>(xc);
            std::fill(c.begin(), c.end(), 0.0);
            if (const auto f = geometric_product_into(x, y, signature, table ? &*table : nullptr, c)) {
                fault.offer(i, PyExc_IndexError, fault_text(i, *f, n, signature.size()));
                return;
            }
            if (!direct)
                for (std::size_t k = 0; k < n; ++k) at<double>(ci, cc, static_cast<npy_intp>(k)) = xc[k];
        }
    });
    return rc < 0 ? rc : fault.raise();
}

constexpr int kBoostTypes[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
constexpr int kOctonionTypes[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE};
constexpr int kProductTypes[] = {NPY_DOUBLE, NPY_DOUBLE, NPY_INT64, NPY_DOUBLE};

}  // namespace

int add_record_ufuncs(PyObject* dict) {
    const Definition defs[] = {
        {"boost",
         "Lorentz boost of points (..., 2) by rapidity phi with signal speed c, as boost_n.\n\n"
         "phi and c broadcast against the points' leading dimensions.",
         3, 1, "(2),(),()->(2)", kBoostTypes, &boost_loop},
        {"octonion_mul", "Octonion products a * b of records (..., 8), as octonion_mul_n.", 2, 1, "(8),(8)->(8)",
         kOctonionTypes, &octonion_loop},
        {"geometric_product",
         "Geometric (Clifford) products a * b of multivectors (..., 2**d) under an integer signature (..., d),\n"
         "as geometric_product_n. Signature entries lie in -128..127 (OverflowError otherwise); an element\n"
         "that cannot be computed raises the list function's IndexError, naming its index along the\n"
         "flattened leading dimensions.",
         3, 1, "(n),(n),(k)->(n)", kProductTypes, &product_loop},
    };
    for (const Definition& def : defs)
        if (add_ufunc(dict, def) < 0) return -1;
    return 0;
}

}  // namespace vok::ufunc
