// The defaults of a search's settings, each written once.
//
// Each default is kept as the text Python writes for it, because that text is
// what the signatures show (vok_core.find_formula's text signature, and
// vok_math.discover's defaults, which come from _ext.DEFAULTS); SearchOptions
// reads its initial values from the same texts at compile time. A new
// setting is one more row of kSearchDefaults (kFitDefaults for the fitted
// search's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace vok::discover {

// A setting's name and its default as a Python literal: True or False, a
// whole number ("2000") or a decimal number ("0.001", "1e-10").
struct SettingDefault {
    const char* name;
    const char* text;
};

// clang-format off
inline constexpr SettingDefault kSearchDefaults[] = {
    {"max_complexity", "8"},
    {"beam_width", "2000"},
    {"precision_goal", "1e-10"},
    {"complexity_penalty", "0.001"},
    {"use_trig", "True"},
    {"use_vok", "True"},
};

// The fitted search's settings (FitOptions), passed apart from the search's
// own: the keys of _ext.search's fit dict.
inline constexpr SettingDefault kFitDefaults[] = {
    {"top_k", "8"},
    {"restarts", "2"},
    {"seed", "0"},
};
// clang-format on

// What a literal's text holds.
enum class LiteralKind { Flag, Whole, Real };

constexpr LiteralKind literal_kind(std::string_view text) {
    if (text == "True" || text == "False") return LiteralKind::Flag;
    return text.find_first_not_of("0123456789") == std::string_view::npos ? LiteralKind::Whole : LiteralKind::Real;
}

// The value of a decimal literal: digits with at most one '.', then an
// optional exponent ("e-10"). Only literals whose value is one correctly
// rounded operation are accepted, a digit string below 2^53 multiplied or
// divided by an exact power of ten (at most 10^22), so the result is the
// nearest double to the text, as Python's float() gives; anything else
// throws std::invalid_argument (a compile error where evaluated at compile
// time).
constexpr double literal_value(std::string_view text) {
    std::uint64_t digits = 0;
    int scale = 0;  // the value is digits * 10^scale
    bool point = false, any = false;
    std::size_t i = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c < '0' || c > '9') throw std::invalid_argument("not a decimal literal");
        digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
        if (digits >= (std::uint64_t{1} << 53)) throw std::invalid_argument("too many digits");
        any = true;
        if (point) --scale;
    }
    if (!any) throw std::invalid_argument("not a decimal literal");
    if (i < text.size()) {
        bool negative = false;
        std::size_t k = i + 1;
        if (k < text.size() && (text[k] == '-' || text[k] == '+')) negative = text[k++] == '-';
        if (k == text.size()) throw std::invalid_argument("no exponent digits");
        int exponent = 0;
        for (; k < text.size(); ++k) {
            if (text[k] < '0' || text[k] > '9' || exponent > 99) throw std::invalid_argument("bad exponent");
            exponent = exponent * 10 + (text[k] - '0');
        }
        scale += negative ? -exponent : exponent;
    }
    if (scale < -22 || scale > 22) throw std::invalid_argument("exponent out of the exact range");
    double power = 1.0;
    for (int k = 0; k < (scale < 0 ? -scale : scale); ++k) power *= 10.0;
    const auto d = static_cast<double>(digits);
    return scale < 0 ? d / power : d * power;
}

// The text of a setting's default (of the search or of its fitted mode); a
// name in neither table does not compile where evaluated at compile time.
consteval const char* default_text(std::string_view name) {
    for (const SettingDefault& d : kSearchDefaults)
        if (name == d.name) return d.text;
    for (const SettingDefault& d : kFitDefaults)
        if (name == d.name) return d.text;
    throw std::invalid_argument("no such setting");
}

consteval double default_real(std::string_view name) { return literal_value(default_text(name)); }

consteval std::size_t default_count(std::string_view name) {
    const std::string_view text = default_text(name);
    if (literal_kind(text) != LiteralKind::Whole) throw std::invalid_argument("not a whole number");
    return static_cast<std::size_t>(literal_value(text));
}

consteval bool default_flag(std::string_view name) {
    const std::string_view text = default_text(name);
    if (literal_kind(text) != LiteralKind::Flag) throw std::invalid_argument("not True or False");
    return text == "True";
}

}  // namespace vok::discover
