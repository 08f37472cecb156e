#include "discover/columns.hpp"

#include <stdexcept>
#include <string>

namespace vok::discover {

std::optional<ColumnShapeFault> column_shape_fault(Columns columns) {
    if (columns.empty()) return ColumnShapeFault{true, 0, 0, 0};
    const std::size_t rows = columns[0].size();
    for (std::size_t j = 1; j < columns.size(); ++j)
        if (columns[j].size() < rows) return ColumnShapeFault{false, j, columns[j].size(), rows};
    return std::nullopt;
}

std::string column_shape_message(const ColumnShapeFault& fault, std::string_view data) {
    std::string s(data);
    if (fault.no_column) return s + " must hold at least one column";
    return s + " column " + std::to_string(fault.column) + " is shorter than column 0 (" +
           std::to_string(fault.length) + " < " + std::to_string(fault.rows) + " rows)";
}

ColumnPointers::ColumnPointers(Columns columns, const char* who) {
    if (const auto fault = column_shape_fault(columns))
        throw std::out_of_range(std::string(who) + ": " + column_shape_message(*fault, "data"));
    cols_.reserve(columns.size());
    for (const auto& c : columns) cols_.push_back(c.data());
    view_ = ColumnView{cols_.data(), cols_.size(), columns[0].size()};
}

}  // namespace vok::discover
