// Portable SIMD building blocks for the image filters.
//
// The filters are written once, as templates over a "lane" type that is
// either one sample (uint16_t) or a vector of 16 samples (GCC/Clang vector
// extensions). The vector form handles whole runs of 16 pixels; the scalar
// form, running the very same code, handles the few pixels left over at the
// end of a row. Functions that run these loops carry NX_SIMD_CLONES, so the
// library builds for baseline x86-64 and picks the AVX2 variant at load time
// on processors that have it.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

// Every helper taking or returning vectors is always inlined into its caller,
// so the calling-convention difference for 32-byte vectors without AVX never
// reaches a real call.
#pragma GCC diagnostic ignored "-Wpsabi"

#define NX_INLINE inline __attribute__((always_inline))
#define NX_LAMBDA_INLINE __attribute__((always_inline))

#if defined(__x86_64__) && !defined(NIVEX_NO_SIMD_CLONES)
#define NX_SIMD_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define NX_SIMD_CLONES
#endif

namespace nx::simd {

inline constexpr int kLanes = 16;

typedef uint16_t u16x16 __attribute__((vector_size(32)));
typedef int16_t i16x16 __attribute__((vector_size(32)));
typedef uint16_t u16x8 __attribute__((vector_size(16)));
typedef int16_t i16x8 __attribute__((vector_size(16)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef int32_t i32x8 __attribute__((vector_size(32)));
typedef double f64x4 __attribute__((vector_size(32)));
typedef float f32x4 __attribute__((vector_size(16)));

// Names a lane type without passing a vector by value.
template <class T>
struct Tag {
    using type = T;
};

template <class T>
inline constexpr int lanes_of = static_cast<int>(sizeof(T) / sizeof(uint16_t));

// Unaligned load and store of one lane (a sample or a vector).
template <class T>
NX_INLINE T load(const void *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
NX_INLINE void store(void *p, const T &v) {
    std::memcpy(p, &v, sizeof v);
}

// Element-wise minimum and maximum of samples or vectors of one type.
template <class T>
NX_INLINE T vmin(const T &a, const T &b) {
    return a < b ? a : b;
}
template <class T>
NX_INLINE T vmax(const T &a, const T &b) {
    return a < b ? b : a;
}

// A lane of T with every sample set to v.
template <class T, class S>
NX_INLINE T splat(S v) {
    if constexpr (std::is_arithmetic_v<T>) {
        return static_cast<T>(v);
    } else {
        return T{} + v;
    }
}

NX_INLINE u16x8 low_half(const u16x16 &v) {
    return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7);
}
NX_INLINE u16x8 high_half(const u16x16 &v) {
    return __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15);
}

// Compare-exchange: afterwards a <= b.
template <class T>
NX_INLINE void cx(T &a, T &b) {
    T lo = vmin(a, b);
    b = vmax(a, b);
    a = lo;
}

// Median of three.
template <class T>
NX_INLINE T med3(const T &a, const T &b, const T &c) {
    return vmax(vmin(a, b), vmin(vmax(a, b), c));
}

// |a - b| of unsigned samples.
template <class T>
NX_INLINE T absdiff(const T &a, const T &b) {
    return static_cast<T>(vmax(a, b) - vmin(a, b));
}

// a^2 + b^2 <= limit for samples of at most 2^15, as a keep-mask. The
// vector form works on two native halves of 8 lanes each.
NX_INLINE bool squares_at_most(uint16_t a, uint16_t b, int32_t limit) {
    int32_t x = a, y = b;
    return x * x + y * y <= limit;
}
NX_INLINE u16x8 squares_at_most(const u16x8 &a, const u16x8 &b, int32_t limit) {
    i32x8 x = __builtin_convertvector(a, i32x8);
    i32x8 y = __builtin_convertvector(b, i32x8);
    return u16x8(__builtin_convertvector(x * x + y * y <= limit, i16x8));
}
NX_INLINE u16x16 squares_at_most(const u16x16 &a, const u16x16 &b, int32_t limit) {
    u16x8 lo = squares_at_most(low_half(a), low_half(b), limit);
    u16x8 hi = squares_at_most(high_half(a), high_half(b), limit);
    return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

// v where keep is set, 0 elsewhere.
NX_INLINE uint16_t keep_where(bool keep, uint16_t v) {
    return keep ? v : 0;
}
NX_INLINE u16x16 keep_where(const u16x16 &keep, const u16x16 &v) {
    return v & keep;
}

// f(std::integral_constant<int, i>) for i = 0 .. N-1, written out, so that
// arrays of lanes indexed by i stay in registers.
template <int N, class F>
NX_INLINE void unroll(F &&f) {
    [&]<int... I>(std::integer_sequence<int, I...>) NX_LAMBDA_INLINE {
        (f(std::integral_constant<int, I>{}), ...);
    }
    (std::make_integer_sequence<int, N>{});
}

// Runs f(x, Tag<V>) over [begin, end) in steps of V's width, then
// f(x, Tag<S>) for each remaining position.
template <class V, class S, class F>
NX_INLINE void for_lanes(int begin, int end, F &&f) {
    constexpr int step = static_cast<int>(sizeof(V) / sizeof(S));
    int x = begin;
    for (; x + step <= end; x += step)
        f(x, Tag<V>{});
    for (; x < end; ++x)
        f(x, Tag<S>{});
}

// The common case: 16-bit samples, 16 at a time.
template <class F>
NX_INLINE void for_samples(int begin, int end, F &&f) {
    for_lanes<u16x16, uint16_t>(begin, end, static_cast<F &&>(f));
}

}  // namespace nx::simd
