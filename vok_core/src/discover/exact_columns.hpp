// The column operators whose result is one correctly rounded IEEE operation
// per row (neg, recip, sqrt, add, sub, mul, div), run on packed registers:
// SSE2 on every x86-64 machine, AVX2 where the processor and the system
// support it (chosen once, at run time), and the scalar loops elsewhere. A
// packed operation rounds each element exactly as the scalar one does, so
// every level gives the same values; the failure tests are those of
// apply_op_column (expr.hpp), done on the bit patterns.
#pragma once

#include <cstddef>

#include "discover/expr.hpp"

namespace vok::discover {

enum class SimdLevel { Scalar, Sse2, Avx2 };

// The best level this build and machine support.
SimdLevel simd_level();

// True when op is one of the exact operators; then *ok is apply_op_column's
// answer for out[r] = op(a[r], b[r]), r < n, computed at the given level
// (clamped to what is supported). out may alias a or b.
bool apply_exact_column(OpCode op, const double* a, const double* b, double* out, std::size_t n, bool* ok,
                        SimdLevel level);

inline bool apply_exact_column(OpCode op, const double* a, const double* b, double* out, std::size_t n, bool* ok) {
    static const SimdLevel best = simd_level();
    return apply_exact_column(op, a, b, out, n, ok, best);
}

}  // namespace vok::discover
