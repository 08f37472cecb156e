// geometric_product_n: pairwise geometric products on the worker pool.
#include <algorithm>
#include <bit>
#include <optional>
#include <string>

#include "multivector.hpp"
#include "pool.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "registry.hpp"

namespace py = vok::py;

namespace vok::face {
namespace {

constexpr py::Callable kSig{py::Kind::function,
                            nullptr,
                            "geometric_product_n",
                            {"a_batch", "b_batch", "signature"},
                            "Batch geometric product (Rayon parallel).\n"
                            "a_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
                            "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
                            "Returns Vec of result coefficient arrays."};

[[noreturn]] void raise_fault(std::size_t n, const ProductFault& f, std::size_t a_len, std::size_t sig_len) {
    py::raise(PyExc_IndexError, product_fault_text("geometric_product_n", n, f, a_len, sig_len));
}

PyObject* geometric_product_n(PyObject*, py::Args& a) {
    const std::vector<std::vector<double>> as = a.nested_seq(0);
    const std::vector<std::vector<double>> bs = a.nested_seq(1);
    const std::vector<std::int8_t> signature = a.small_int_seq(2);
    const std::size_t n = std::min(as.size(), bs.size());

    // Every output is allocated here, zero-filled, so the workers never
    // allocate. Meanwhile size the work: the widest length a factor table
    // serves, and the term count bound (lengths capped so it cannot wrap).
    std::vector<std::vector<double>> out(n);
    std::size_t widest = 0, table_terms = 0, terms = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t len = as[i].size();
        out[i].assign(len, 0.0);
        const std::size_t capped = std::min<std::size_t>(len, std::size_t{1} << 20);
        terms = std::min(terms + capped * capped, std::size_t{1} << 62);
        if (len <= BladeFactors::kMaxSize) {
            widest = std::max(widest, len);
            table_terms += len * len;
        }
    }
    // The table pays when the products would compute at least as many
    // factors as it holds.
    std::optional<BladeFactors> factors;
    const std::size_t table_size = std::bit_ceil(widest);
    if (widest > 1 && table_size * table_size <= table_terms) factors.emplace(table_size, signature);
    const BladeFactors* table = factors ? &*factors : nullptr;

    const auto faults = ordered_map<std::optional<ProductFault>>(
        n, [&](std::size_t i) { return geometric_product_into(as[i], bs[i], signature, table, out[i]); },
        // Calls whose products add up to little work run on the calling thread.
        run_inline(terms * kProductTermCost) ? n + 1 : 2);
    for (std::size_t i = 0; i < n; ++i)
        if (faults[i]) raise_fault(i, *faults[i], as[i].size(), signature.size());
    return py::nested_list<std::vector<double>>(out);
}

}  // namespace

PyMethodDef geometric_product_n_def = py::method_def<kSig, geometric_product_n>();

}  // namespace vok::face
