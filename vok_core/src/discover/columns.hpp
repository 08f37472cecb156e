// The shape of a column-oriented data set.
//
// Column j holds variable j row by row; the row count is the length of the
// first column. Evaluating an expression reads row r of every column for each
// row of the first, so at least one column is needed and no column may be
// shorter than the first (values beyond the row count are ignored).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "discover/expr.hpp"

namespace vok::discover {

using Columns = std::span<const std::vector<double>>;

// What is wrong with a data set's shape: no column at all, or the first
// column (in order) that is shorter than column 0.
struct ColumnShapeFault {
    bool no_column = false;
    std::size_t column = 0;  // the short column's index
    std::size_t length = 0;  // its length
    std::size_t rows = 0;    // the length of column 0
};

// Empty when the columns can be evaluated.
std::optional<ColumnShapeFault> column_shape_fault(Columns columns);

// What is wrong, for a data set named `data`: "x_data must hold at least one
// column" or "x_data column 2 is shorter than column 0 (1 < 3 rows)".
std::string column_shape_message(const ColumnShapeFault& fault, std::string_view data);

// Raw pointers to the columns for the evaluators. Throws std::out_of_range,
// "<who>: " and column_shape_message's text, when the shape is wrong. Not copyable:
// the view points into the object.
class ColumnPointers {
public:
    ColumnPointers(Columns columns, const char* who);
    ColumnPointers(const ColumnPointers&) = delete;
    ColumnPointers& operator=(const ColumnPointers&) = delete;

    const ColumnView& view() const { return view_; }
    std::size_t rows() const { return view_.rows; }

private:
    std::vector<const double*> cols_;
    ColumnView view_;
};

}  // namespace vok::discover
