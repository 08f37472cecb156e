// Helpers of the discovery engine's tests: short token constructors, a plain
// row-by-row evaluator and a deliberately plain beam search written straight
// from the rules (tokens copied for every candidate, an ordered std::set of
// fingerprints, full regeneration at every level, a stable sort), and
// executors that divide the work in different ways.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "discover/expr.hpp"
#include "discover/fingerprint.hpp"
#include "discover/render.hpp"
#include "discover/search_internals.hpp"

namespace discover_test {

using namespace vok::discover;
using Tokens = std::vector<Token>;

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const double kInf = std::numeric_limits<double>::infinity();

inline Token C(double v) { return Token::constant(v); }
inline Token V(std::size_t i) { return Token::var(i); }
inline Token O(OpCode op) { return Token::op_token(op); }
inline Expr E(Tokens t) { return Expr{std::move(t)}; }

inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

inline std::vector<double> linspace(double a, double b, std::size_t n) {
    std::vector<double> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back(a + (b - a) * static_cast<double>(i) / static_cast<double>(n - 1));
    return v;
}

// ---------------------------------------------------------------------------
// The plain reference: a row-by-row stack evaluator written straight from the
// operator table.

inline std::optional<double> ref_op(OpCode op, double a, double b) {
    double r = 0.0;
    switch (op) {
        case OpCode::Neg:
            r = -a;
            break;
        case OpCode::Recip:
            if (std::fabs(a) < 1e-300) return std::nullopt;
            r = 1.0 / a;
            break;
        case OpCode::Exp:
            r = std::exp(a);
            break;
        case OpCode::Ln:
            if (a <= 0.0) return std::nullopt;
            r = std::log(a);
            break;
        case OpCode::Sqrt:
            if (a < 0.0) return std::nullopt;
            r = std::sqrt(a);
            break;
        case OpCode::Sin:
            r = std::sin(a);
            break;
        case OpCode::Cos:
            r = std::cos(a);
            break;
        case OpCode::Abs:
            r = std::fabs(a);
            break;
        case OpCode::Vok: {
            const double x = a > 709.78 ? std::log(a) : a;
            const double y = (b > 0.0 || std::isnan(b)) ? b : std::max(std::fabs(b), 1e-300);
            const double t = std::exp(x);
            const double s = std::log(y);
            r = t - s;
            break;
        }
        case OpCode::Add:
            r = a + b;
            break;
        case OpCode::Sub:
            r = a - b;
            break;
        case OpCode::Mul:
            r = a * b;
            break;
        case OpCode::Div:
            if (std::fabs(b) < 1e-300) return std::nullopt;
            r = a / b;
            break;
        case OpCode::Arcsin:
            if (!(std::fabs(a) <= 1.0)) return std::nullopt;
            r = std::asin(a);
            break;
        case OpCode::Arccos:
            if (!(std::fabs(a) <= 1.0)) return std::nullopt;
            r = std::acos(a);
            break;
        case OpCode::Tanh:
            r = std::tanh(a);
            break;
    }
    if ((bits(r) & 0x7FFFFFFFFFFFFFFFULL) > 0x7FEFFFFFFFFFFFFFULL) return std::nullopt;
    return r;
}

inline std::optional<double> ref_eval(const Tokens& tokens, const std::vector<double>& vars) {
    if (tokens.empty()) return std::nullopt;
    std::vector<double> stack;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Const) {
            stack.push_back(t.value);
        } else if (t.kind == TokenKind::Param) {
            stack.push_back(t.value);
        } else if (t.kind == TokenKind::Var) {
            if (t.index >= vars.size()) return std::nullopt;
            stack.push_back(vars[t.index]);
        } else if (static_cast<int>(t.op) < 8 || static_cast<int>(t.op) > 12) {
            if (stack.empty()) return std::nullopt;
            auto r = ref_op(t.op, stack.back(), 0.0);
            if (!r) return std::nullopt;
            stack.back() = *r;
        } else {
            if (stack.size() < 2) return std::nullopt;
            const double b = stack.back();
            stack.pop_back();
            auto r = ref_op(t.op, stack.back(), b);
            if (!r) return std::nullopt;
            stack.back() = *r;
        }
    }
    if (stack.size() != 1) return std::nullopt;
    return stack[0];
}

inline std::optional<std::vector<double>> ref_eval_rows(const Tokens& tokens,
                                                        const std::vector<std::vector<double>>& cols) {
    std::vector<double> out;
    for (std::size_t r = 0; r < cols[0].size(); ++r) {
        std::vector<double> row;
        for (const auto& c : cols) row.push_back(c[r]);
        auto v = ref_eval(tokens, row);
        if (!v) return std::nullopt;
        out.push_back(*v);
    }
    return out;
}

// ---------------------------------------------------------------------------
// The plain reference search.

struct RefResult {
    std::string formula;
    double error;
    std::size_t complexity;
    Tokens tokens;
};

struct RefSearch {
    std::vector<std::vector<Tokens>> levels;  // accepted candidates per level
    std::optional<RefResult> best;
    std::map<std::size_t, RefResult> front;  // by complexity, the update_best rule
};

// Stops after level last_level (the leaves are level 1) when given.
inline RefSearch ref_search(const std::vector<std::vector<double>>& cols, const std::vector<double>& targets,
                            std::size_t n_vars, const SearchOptions& opt, std::size_t last_level = SIZE_MAX) {
    RefSearch out;
    std::set<std::vector<std::uint64_t>> seen;
    auto accept = [&](const Tokens& t, std::vector<Tokens>& into) {
        std::vector<std::uint64_t> fp;
        for (double c : kProbes) {
            std::vector<double> vars;
            for (std::size_t i = 0; i < n_vars; ++i) vars.push_back(static_cast<double>(i + 1) * c);
            auto v = ref_eval(t, vars);
            if (!v || !std::isfinite(*v)) return;
            fp.push_back(bits(*v));
        }
        if (seen.insert(fp).second) into.push_back(t);
    };
    auto score = [&](const std::vector<Tokens>& cands) {
        std::vector<RefResult> results;
        for (const Tokens& t : cands) {
            auto pred = ref_eval_rows(t, cols);
            if (!pred) continue;
            double s = -0.0;
            for (std::size_t i = 0; i < std::min(pred->size(), targets.size()); ++i) {
                const double d = (*pred)[i] - targets[i];
                s += d * d;
            }
            const double rmse = std::sqrt(s / static_cast<double>(targets.size()));
            const double err = rmse * ((static_cast<double>(t.size()) * opt.complexity_penalty) + 1.0);
            results.push_back({to_string(E(t)), err, t.size(), t});
        }
        return results;
    };
    auto update = [&](const std::vector<RefResult>& results) {
        for (const RefResult& r : results) {
            if (!out.best || out.best->error > r.error) out.best = r;
            auto [at, fresh] = out.front.try_emplace(r.complexity, r);
            if (!fresh && at->second.error > r.error) at->second = r;
        }
        return out.best && opt.precision_goal >= out.best->error;
    };
    std::vector<Tokens> leaves;
    accept({C(0.0)}, leaves);
    accept({C(1.0)}, leaves);
    for (std::size_t i = 0; i < n_vars; ++i) accept({V(i)}, leaves);
    out.levels.push_back(leaves);
    if (update(score(leaves))) return out;
    std::vector<Tokens> pool = leaves;
    if (opt.max_complexity < 2 || last_level == 1) return out;
    const std::vector<OpCode> un = unary_operators(opt), bin = binary_operators(opt);
    for (std::size_t level = 2; level <= opt.max_complexity; ++level) {
        if (pool.empty()) return out;
        std::vector<Tokens> cands;
        for (const Tokens& e : pool)
            for (OpCode u : un) {
                Tokens t = e;
                t.push_back(O(u));
                accept(t, cands);
            }
        for (std::size_t i = 0; i < pool.size(); ++i)
            for (std::size_t j = 0; j <= i; ++j) {
                if (pool[i].size() + pool[j].size() >= opt.max_complexity) continue;
                for (OpCode b : bin) {
                    Tokens t = pool[i];
                    t.insert(t.end(), pool[j].begin(), pool[j].end());
                    t.push_back(O(b));
                    accept(t, cands);
                    if (b == OpCode::Sub || b == OpCode::Div || b == OpCode::Vok) {
                        Tokens s = pool[j];
                        s.insert(s.end(), pool[i].begin(), pool[i].end());
                        s.push_back(O(b));
                        accept(s, cands);
                    }
                }
            }
        out.levels.push_back(cands);
        if (cands.empty()) return out;
        std::vector<RefResult> results = score(cands);
        if (update(results)) return out;
        // NaN errors last, the rest stably ascending.
        std::stable_partition(results.begin(), results.end(), [](const RefResult& r) { return !std::isnan(r.error); });
        auto firstnan =
            std::find_if(results.begin(), results.end(), [](const RefResult& r) { return std::isnan(r.error); });
        std::stable_sort(results.begin(), firstnan,
                         [](const RefResult& a, const RefResult& b) { return a.error < b.error; });
        if (results.size() > opt.beam_width) results.resize(opt.beam_width);
        for (std::size_t k = 0; k < std::min(opt.beam_width / 4, results.size()); ++k)
            pool.push_back(results[k].tokens);
        if (level == last_level) return out;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Executors dividing the work in different ways.

inline void serial_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) { body(ctx, 0, n); }

// Every index its own piece, last piece first.
inline void reverse_single_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    for (std::size_t i = n; i-- > 0;) body(ctx, i, i + 1);
}

// Three uneven pieces on three threads at once.
inline void threaded_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    const std::size_t cut1 = n / 5, cut2 = n / 2;
    std::thread t1([&] {
        if (cut1 > 0) body(ctx, 0, cut1);
    });
    std::thread t2([&] {
        if (cut2 > cut1) body(ctx, cut1, cut2);
    });
    body(ctx, cut2, n);
    t1.join();
    t2.join();
}

inline std::vector<std::string> texts(const std::vector<Expr>& exprs) {
    std::vector<std::string> out;
    for (const Expr& e : exprs) out.push_back(to_string(e));
    return out;
}

inline SearchOptions opts(std::size_t max_complexity, bool trig, bool vok_op, std::size_t beam = 2000) {
    SearchOptions o;
    o.max_complexity = max_complexity;
    o.use_trig = trig;
    o.use_vok = vok_op;
    o.beam_width = beam;
    return o;
}

struct Outcome {
    std::optional<SearchResult> result;
    SearchTrace trace;
};

// Every parallel step goes to the executor unless inline_work says otherwise.
inline Outcome run(const std::vector<std::vector<double>>& cols, const std::vector<double>& y, const SearchOptions& o,
                   Executor ex = serial_executor, std::size_t budget = kDefaultCacheBudget,
                   std::size_t inline_work = 0) {
    Outcome r;
    r.trace.record_candidates = true;
    r.result = search_with(cols, y, cols.size(), o, SearchInternals{ex, &r.trace, budget, inline_work});
    return r;
}

// The search's accepted candidates, level by level, and its best are the plain
// search's, to the bit.
inline void expect_same(const std::optional<SearchResult>& got, const SearchTrace& trace, const RefSearch& want) {
    ASSERT_EQ(trace.levels.size(), want.levels.size());
    for (std::size_t l = 0; l < want.levels.size(); ++l) {
        ASSERT_EQ(trace.levels[l].size(), want.levels[l].size()) << "level " << l + 1;
        for (std::size_t k = 0; k < want.levels[l].size(); ++k)
            ASSERT_EQ(trace.levels[l][k].tokens, want.levels[l][k]) << "level " << l + 1 << " #" << k;
    }
    ASSERT_EQ(got.has_value(), want.best.has_value());
    if (!got) return;
    EXPECT_EQ(got->formula, want.best->formula);
    EXPECT_EQ(bits(got->error), bits(want.best->error));
    EXPECT_EQ(got->complexity, want.best->complexity);
    EXPECT_EQ(got->expr.tokens, want.best->tokens);
}

}  // namespace discover_test
