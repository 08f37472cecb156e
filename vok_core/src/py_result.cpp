#include "py_result.hpp"

#include <vector>

namespace vok::py {

PyObject* new_float(double v) { return check(PyFloat_FromDouble(v)); }

namespace {

// A new list of `n` items made by make(i) -> new reference (or throws).
template <class Make>
PyObject* build_list(std::size_t n, Make&& make) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(i));
    return list.release();
}

// Holds the cyclic garbage collector off while a list of containers is
// built. Every new tuple or list counts towards the next collection, so a
// million of them would trigger hundreds of collections, some of them full
// ones, all finding nothing: rows of floats cannot form cycles. The
// collector's state is restored afterwards and it runs at its next chance.
class GcPause {
public:
    explicit GcPause(std::size_t rows) : was_enabled_(rows >= kFrom && PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    static constexpr std::size_t kFrom = 4096;  // below this, a handful of collections at most
    bool was_enabled_;
};

template <class Row>
PyObject* float_tuple(const Row& row) {
    Ref t(check(PyTuple_New(static_cast<Py_ssize_t>(row.size()))));
    for (std::size_t k = 0; k < row.size(); ++k)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(k), new_float(row[k]));
    return t.release();
}

}  // namespace

PyObject* float_list(std::span<const double> values) {
    return build_list(values.size(), [&](std::size_t i) { return new_float(values[i]); });
}

template <std::size_t N>
PyObject* tuple_list(std::span<const std::array<double, N>> rows) {
    GcPause pause(rows.size());
    return build_list(rows.size(), [&](std::size_t i) { return float_tuple(rows[i]); });
}

template <class Row>
PyObject* nested_list(std::span<const Row> rows) {
    GcPause pause(rows.size());
    return build_list(rows.size(), [&](std::size_t i) { return float_list(rows[i]); });
}

template PyObject* tuple_list<2>(std::span<const std::array<double, 2>>);
template PyObject* tuple_list<3>(std::span<const std::array<double, 3>>);
template PyObject* nested_list<std::array<double, 8>>(std::span<const std::array<double, 8>>);
template PyObject* nested_list<std::vector<double>>(std::span<const std::vector<double>>);

}  // namespace vok::py
