// Helpers of the fitting tests: a table of three variables and its view.
#pragma once

#include <cmath>
#include <vector>

#include "discover/lm.hpp"
#include "discover_reference.hpp"

namespace fit_test {

using namespace vok::discover;
using namespace discover_test;

inline Token P(std::size_t i, double v) { return Token::param(i, v); }

// Columns and their view, kept together.
struct Table {
    std::vector<std::vector<double>> cols;
    std::vector<const double*> ptrs;
    ColumnView view() {
        ptrs.clear();
        for (const auto& c : cols) ptrs.push_back(c.data());
        return ColumnView{ptrs.data(), ptrs.size(), cols[0].size()};
    }
};

// x in [0.5, 4.5], y in [1, 5] in a different order, t in [0, 6]; 300 rows
// (more than one block of the evaluators).
inline Table sample(std::size_t rows = 300) {
    Table t;
    std::vector<double> x, y, z;
    for (std::size_t r = 0; r < rows; ++r) {
        const double u = static_cast<double>(r) / static_cast<double>(rows - 1);
        x.push_back(0.5 + 4.0 * u);
        y.push_back(1.0 + 4.0 * std::fmod(u * 7.0, 1.0));
        z.push_back(6.0 * u);
    }
    t.cols = {x, y, z};
    return t;
}

inline FitData data_of(Table& t, const std::vector<double>& y) { return FitData{t.view(), y}; }

}  // namespace fit_test
