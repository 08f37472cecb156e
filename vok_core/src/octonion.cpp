// octonion_mul_n: pairwise octonion products on the worker pool.
#include <algorithm>

#include "octonion.hpp"
#include "pool.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "registry.hpp"

namespace py = vok::py;

namespace vok::face {
namespace {

// A product is at most 64 multiply-adds; below this many a hand-off to the
// workers costs more than the work (the values are the same either way).
constexpr std::size_t kInlineBelow = inline_below(kOctonionProductCost);

constexpr py::Callable kSig{py::Kind::function,
                            nullptr,
                            "octonion_mul_n",
                            {"a_batch", "b_batch"},
                            "Batch octonion multiplication (Rayon parallel).\n"
                            "a_batch, b_batch: each is a Vec of 8-element float lists.\n"
                            "Returns Vec of 8-element results."};

PyObject* octonion_mul_n(PyObject*, py::Args& a) {
    const auto as = a.octet_seq(0);
    const auto bs = a.octet_seq(1);
    const auto out = ordered_map<Octonion>(
        std::min(as.size(), bs.size()), [&](std::size_t i) { return octonion_mul(as[i], bs[i]); }, kInlineBelow);
    return py::nested_list<Octonion>(out);
}

}  // namespace

PyMethodDef octonion_mul_n_def = py::method_def<kSig, octonion_mul_n>();

}  // namespace vok::face
