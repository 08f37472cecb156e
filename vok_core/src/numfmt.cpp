#include "numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vok {
namespace {

// Writes NaN/inf and returns true, or returns false for finite values.
bool append_special(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out += v < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

// Splits to_chars' scientific output "d.ddde-07" into mantissa and exponent.
struct Scientific {
    std::string mantissa;  // with sign and decimal point as to_chars wrote it
    int exponent;
};

Scientific split_scientific(const char* first, const char* last) {
    const char* e = static_cast<const char*>(std::memchr(first, 'e', static_cast<std::size_t>(last - first)));
    Scientific s{std::string(first, e), 0};
    std::from_chars(e + 1 + (e[1] == '+' ? 1 : 0), last, s.exponent);
    return s;
}

}  // namespace

void append_fixed(std::string& out, double v, int decimals) {
    if (append_special(out, v)) return;
    // 309 integer digits + point + decimals + sign fit comfortably.
    char buf[400];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    out.append(buf, r.ptr);
}

std::string format_fixed(double v, int decimals) {
    std::string s;
    append_fixed(s, v, decimals);
    return s;
}

std::string format_shortest(double v) {
    std::string out;
    if (append_special(out, v)) return out;
    if (std::signbit(v)) out += '-';
    const double a = std::fabs(v);
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::scientific);
    Scientific s = split_scientific(buf, r.ptr);
    std::string digits;
    for (char c : s.mantissa)
        if (c != '.') digits += c;
    if (a != 0.0 && (a < 1e-4 || a >= 1e16)) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(s.exponent);
        return out;
    }
    const int point = s.exponent + 1;  // digits before the decimal point
    if (a == 0.0) {
        out += "0.0";
    } else if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits;
        out.append(static_cast<std::size_t>(point) - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string format_exp2(double v) {
    std::string out;
    if (append_special(out, v)) return out;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 2);
    Scientific s = split_scientific(buf, r.ptr);
    out += s.mantissa;
    out += 'e';
    out += std::to_string(s.exponent);
    return out;
}

}  // namespace vok
