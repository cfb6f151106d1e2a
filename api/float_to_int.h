// Truncation of floats to integers that is defined for every input.
//
// A C++ cast of a float outside the target type's range (or of a NaN) is
// undefined; the conversions and frame files take caller data, so they go
// through these instead. In range they truncate toward zero like the cast.
#pragma once

#include <climits>
#include <cstdint>

namespace nx {

// NaN gives 0; values beyond the range give its nearest end.
inline int64_t trunc_to_i64(float v) {
    constexpr float kTwo63 = 9223372036854775808.0f;
    if (!(v == v)) return 0;
    if (v >= kTwo63) return INT64_MAX;
    if (v < -kTwo63) return INT64_MIN;
    return static_cast<int64_t>(v);
}

// NaN gives 0; values beyond the range give its nearest end.
inline int trunc_to_int(float v) {
    constexpr float kTwo31 = 2147483648.0f;
    if (!(v == v)) return 0;
    if (v >= kTwo31) return INT_MAX;
    if (v < -kTwo31) return INT_MIN;
    return static_cast<int>(v);
}

}  // namespace nx
