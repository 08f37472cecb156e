// christoffel_batch_n: one Schwarzschild Christoffel symbol at many radii.
#include "metric.hpp"
#include "pool.hpp"
#include "py_bind.hpp"
#include "py_result.hpp"
#include "registry.hpp"

namespace py = vok::py;

namespace vok::face {
namespace {

// One exp and a few divisions per point: the same trade-off as the
// element-wise functions.
constexpr std::size_t kInlineBelow = inline_below(kElementwiseCost);

constexpr py::Callable kSig{py::Kind::function,
                            nullptr,
                            "christoffel_batch_n",
                            {"points", "lam", "mu", "nu", "rs"},
                            "Batch Schwarzschild Christoffel evaluation.\n"
                            "points: Vec of (x, _) where r = exp(x).\n"
                            "Returns Vec of \u0393^lam_{mu nu} values for each point."};

PyObject* christoffel_batch_n(PyObject*, py::Args& a) {
    const auto points = a.point_seq(0);
    const std::uint64_t lam = a.count(1), mu = a.count(2), nu = a.count(3);
    const double rs = a.to_float(4);
    const auto out = ordered_map<double>(
        points.size(), [&](std::size_t i) { return christoffel(points[i][0], lam, mu, nu, rs); }, kInlineBelow);
    return py::float_list(out);
}

}  // namespace

PyMethodDef christoffel_batch_n_def = py::method_def<kSig, christoffel_batch_n>();

}  // namespace vok::face
