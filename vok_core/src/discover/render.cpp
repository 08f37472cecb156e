#include "discover/render.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "numfmt.hpp"

namespace vok::discover {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kE = 2.718281828459045;

// Pops the top string, or gives "" when the stack is empty (a malformed
// expression still renders).
std::string pop_or_empty(std::vector<std::string>& stack) {
    if (stack.empty()) return {};
    std::string s = std::move(stack.back());
    stack.pop_back();
    return s;
}

// Template pieces around the operand(s) of each operator, indexed by code.
struct Template {
    std::string_view before, middle, after;  // middle is only used by binary ones
};
// Unary: Neg, Recip, Exp, Ln, Sqrt, Sin, Cos, Abs; binary: Vok, Add, Sub, Mul,
// Div; unary again: Arcsin, Arccos, Tanh.
constexpr Template kTemplates[] = {
    {"(-", "", ")"},     {"(1/", "", ")"},     {"exp(", "", ")"},    {"ln(", "", ")"},
    {"sqrt(", "", ")"},  {"sin(", "", ")"},    {"cos(", "", ")"},    {"abs(", "", ")"},
    {"vok(", ", ", ")"}, {"(", " + ", ")"},    {"(", " - ", ")"},    {"(", " * ", ")"},
    {"(", " / ", ")"},   {"arcsin(", "", ")"}, {"arccos(", "", ")"}, {"tanh(", "", ")"},
};
static_assert(std::size(kTemplates) == kOpCount);

// Replaces every occurrence of `from`, scanning left to right without overlap.
std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(from, pos)) != std::string_view::npos; pos = hit + from.size()) {
        out.append(text, pos, hit - pos);
        out += to;
    }
    out.append(text, pos);
    return out;
}

// "sqrt(" becomes "\sqrt{" and the parenthesis closing its argument "}".
// One pass pairs every ")" with the latest unclosed "(" (the same pairing as
// counting depth forward from each opening); a ")" with nothing open, and a
// "(" never closed, stay unpaired, and an unpaired "sqrt(" is left as it is.
std::string rewrite_sqrt(std::string_view text) {
    constexpr std::string_view kOpen = "sqrt(";
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> closing(text.size(), kNone);  // for each "(": its ")"
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '(') {
            open.push_back(i);
        } else if (text[i] == ')' && !open.empty()) {
            closing[open.back()] = i;
            open.pop_back();
        }
    }
    std::vector<bool> to_brace(text.size(), false);
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        if (text.substr(i, kOpen.size()) == kOpen) {
            const std::size_t paren = i + kOpen.size() - 1;
            if (closing[paren] != kNone) {
                to_brace[closing[paren]] = true;
                out += "\\sqrt{";
                i += kOpen.size();
                continue;
            }
        }
        out += to_brace[i] ? '}' : text[i];
        ++i;
    }
    return out;
}

// The length of the constant text at the start of `s` (append_constant's
// forms: "π", "e", "NaN", "inf", "-inf", or -?digits.dddd), or 0.
std::size_t constant_length(std::string_view s) {
    for (std::string_view word : {"\u03C0", "e", "NaN", "inf", "-inf"})
        if (s.starts_with(word)) return word.size();
    std::size_t i = s.starts_with('-') ? 1 : 0;
    const auto digit = [&](std::size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
    const std::size_t first = i;
    while (digit(i)) ++i;
    if (i == first || i >= s.size() || s[i] != '.') return 0;
    for (std::size_t k = 1; k <= 4; ++k)
        if (!digit(i + k)) return 0;
    return i + 5;
}

// The length of the variable letter at the start of `s` (one code point up
// to U+00FF in UTF-8, as append_variable writes it), or 0.
std::size_t variable_length(std::string_view s) {
    if (s.empty()) return 0;
    const auto lead = static_cast<unsigned char>(s[0]);
    if (lead < 0x80) return 1;
    const bool two =
        (lead == 0xC2 || lead == 0xC3) && s.size() >= 2 && (static_cast<unsigned char>(s[1]) & 0xC0) == 0x80;
    return two ? 2 : 0;
}

}  // namespace

bool is_formula_text(std::string_view text) {
    // A search cannot reach the hundreds of thousands of tokens a longer text
    // would need; the limit bounds this table's memory.
    constexpr std::size_t kMaxText = std::size_t{1} << 20;
    const std::size_t n = text.size();
    if (n > kMaxText) return false;
    // ends[i]: the positions j > i such that text[i, j) is an expression.
    std::vector<std::vector<std::size_t>> ends(n + 1);
    std::size_t budget = 4 * kMaxText;
    for (std::size_t i = n; i-- > 0;) {
        const std::string_view rest = text.substr(i);
        std::vector<std::size_t>& out = ends[i];
        if (const std::size_t c = constant_length(rest)) out.push_back(i + c);
        if (const std::size_t v = variable_length(rest)) out.push_back(i + v);
        for (std::size_t code = 0; code < kOpCount; ++code) {
            const Template& tpl = kTemplates[code];
            if (!rest.starts_with(tpl.before)) continue;
            for (const std::size_t a : ends[i + tpl.before.size()]) {
                if (budget-- == 0) return false;
                if (is_unary(static_cast<OpCode>(code))) {
                    if (text.substr(a).starts_with(tpl.after)) out.push_back(a + tpl.after.size());
                    continue;
                }
                if (!text.substr(a).starts_with(tpl.middle)) continue;
                for (const std::size_t b : ends[a + tpl.middle.size()]) {
                    if (budget-- == 0) return false;
                    if (text.substr(b).starts_with(tpl.after)) out.push_back(b + tpl.after.size());
                }
            }
        }
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
    return n > 0 && std::binary_search(ends[0].begin(), ends[0].end(), n);
}

void append_constant(std::string& out, double v) {
    if (v == kPi) {
        out += "\u03C0";
    } else if (v == kE) {
        out += 'e';
    } else {
        append_fixed(out, v, 4);
    }
}

void append_variable(std::string& out, std::size_t index) {
    // (120 + index) mod 2^64 is congruent to it mod 256, so wrapping is harmless.
    const auto cp = static_cast<unsigned char>((120 + index) % 256);
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string to_string(const Expr& expr) { return to_string(expr, {}); }

std::string to_string(const Expr& expr, std::span<const std::string> names) {
    std::vector<std::string> stack;
    for (const Token& t : expr.tokens) {
        switch (t.kind) {
            case TokenKind::Const: {
                std::string s;
                append_constant(s, t.value);
                stack.push_back(std::move(s));
                break;
            }
            case TokenKind::Param: {
                // A default is always a number: pi and e are not named here.
                std::string s = "c" + std::to_string(t.index) + "(";
                append_fixed(s, t.value, 4);
                s += ')';
                stack.push_back(std::move(s));
                break;
            }
            case TokenKind::Var: {
                std::string s;
                if (t.index < names.size())
                    s = names[t.index];
                else
                    append_variable(s, t.index);
                stack.push_back(std::move(s));
                break;
            }
            case TokenKind::Op: {
                const auto code = static_cast<std::uint8_t>(t.op);
                // A byte beyond the operator codes names no operator: it renders
                // with the binary layout its code implies, around "?".
                static constexpr Template kUnknown{"?(", ", ", ")"};
                const Template& tpl = code < kOpCount ? kTemplates[code] : kUnknown;
                std::string s(tpl.before);
                if (is_unary(t.op)) {
                    s += pop_or_empty(stack);
                } else {
                    std::string b = pop_or_empty(stack);
                    s += pop_or_empty(stack);
                    s += tpl.middle;
                    s += b;
                }
                s += tpl.after;
                stack.push_back(std::move(s));
                break;
            }
        }
    }
    return stack.empty() ? std::string("?") : std::move(stack.back());
}

std::string to_latex(std::string_view formula) {
    std::string s = replace_all(formula, "exp(", "\\exp(");
    s = replace_all(s, "ln(", "\\ln(");
    s = rewrite_sqrt(s);
    s = replace_all(s, "sin(", "\\sin(");
    s = replace_all(s, "cos(", "\\cos(");
    s = replace_all(s, "vok(", "\\mathrm{vok}(");
    // The appended operators: "arcsin(" has become "arc\sin(" above.
    s = replace_all(s, "arc\\sin(", "\\arcsin(");
    s = replace_all(s, "arc\\cos(", "\\arccos(");
    s = replace_all(s, "tanh(", "\\tanh(");
    return replace_all(s, "\u03C0", "\\pi");
}

std::string to_python(std::string_view formula) {
    std::string s = replace_all(formula, "exp(", "math.exp(");
    s = replace_all(s, "ln(", "math.log(");
    s = replace_all(s, "sqrt(", "math.sqrt(");
    s = replace_all(s, "sin(", "math.sin(");
    s = replace_all(s, "cos(", "math.cos(");
    s = replace_all(s, "arcmath.sin(", "math.asin(");
    s = replace_all(s, "arcmath.cos(", "math.acos(");
    s = replace_all(s, "tanh(", "math.tanh(");
    return "import math\nf = lambda x: " + s;
}

}  // namespace vok::discover
