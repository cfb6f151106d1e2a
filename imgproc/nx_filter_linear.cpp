// 3x3 box mean (without the centre) and 3x3 binomial smoothing.
//
// Both are exact integer sums divided by a power of two and rounded down, yet
// run entirely in 16-bit lanes: each sample is split as p = d * hi + lo, with
// d the divisor of the sum. The weighted sums of the hi parts and of the lo
// parts both fit in 16 bits, and floor(sum / d) = sum(hi) + floor(sum(lo) / d).
#include "imgproc/filter_rows.h"
#include "imgproc/nx_filter.h"

namespace {

using nx::filt::for_row_steps;
using nx::filt::pad_ends;
using nx::filt::RowSet;
using nx::filt::Strip;
using nx::simd::for_samples;
using nx::simd::load;
using nx::simd::store;

constexpr int kScratch = Strip<1>::kScratch;

// Sum of the 8 neighbours over 8: hi = p / 8 sums to at most 8 * 8191, lo = p % 8
// to at most 56. Per column: the sums of all three rows and of the outer two.
NX_SIMD_CLONES
void box3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    uint16_t col_hi[kScratch], ns_hi[kScratch], col_lo[kScratch], ns_lo[kScratch];
    for_row_steps<1, 1>(
        dst, src, w, h,
        [&](const RowSet<3> &rows, const Strip<1> &s) NX_LAMBDA_INLINE {
            for_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T n = load<T>(rows[0] + x), c = load<T>(rows[1] + x), so = load<T>(rows[2] + x);
                T ns_h = static_cast<T>((n >> 3) + (so >> 3));
                T ns_l = static_cast<T>((n & 7) + (so & 7));
                int i = s.at(x);
                store(ns_hi + i, ns_h);
                store(ns_lo + i, ns_l);
                store(col_hi + i, static_cast<T>(ns_h + (c >> 3)));
                store(col_lo + i, static_cast<T>(ns_l + (c & 7)));
            });
        },
        [&](const RowSet<3> &, const Strip<1> &s, int, uint16_t *out) NX_LAMBDA_INLINE {
            for (uint16_t *a : {col_hi, ns_hi, col_lo, ns_lo})
                pad_ends(a, s);
            for_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T hi = static_cast<T>(load<T>(col_hi + t) + load<T>(ns_hi + t + 1) +
                                      load<T>(col_hi + t + 2));
                T lo = static_cast<T>(load<T>(col_lo + t) + load<T>(ns_lo + t + 1) +
                                      load<T>(col_lo + t + 2));
                store(out + t, static_cast<T>(hi + (lo >> 3)));
            });
        });
}

// (1 2 1)^T (1 2 1) over 16: hi = p / 16 sums to at most 16 * 4095, lo = p % 16
// to at most 240.
NX_SIMD_CLONES
void gauss3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    uint16_t col_hi[kScratch], col_lo[kScratch];
    for_row_steps<1, 1>(
        dst, src, w, h,
        [&](const RowSet<3> &rows, const Strip<1> &s) NX_LAMBDA_INLINE {
            for_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T n = load<T>(rows[0] + x), c = load<T>(rows[1] + x), so = load<T>(rows[2] + x);
                int i = s.at(x);
                store(col_hi + i, static_cast<T>((n >> 4) + ((c >> 4) << 1) + (so >> 4)));
                store(col_lo + i, static_cast<T>((n & 15) + ((c & 15) << 1) + (so & 15)));
            });
        },
        [&](const RowSet<3> &, const Strip<1> &s, int, uint16_t *out) NX_LAMBDA_INLINE {
            pad_ends(col_hi, s);
            pad_ends(col_lo, s);
            for_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T hi = static_cast<T>(load<T>(col_hi + t) + (load<T>(col_hi + t + 1) << 1) +
                                      load<T>(col_hi + t + 2));
                T lo = static_cast<T>(load<T>(col_lo + t) + (load<T>(col_lo + t + 1) << 1) +
                                      load<T>(col_lo + t + 2));
                store(out + t, static_cast<T>(hi + (lo >> 4)));
            });
        });
}

}  // namespace

extern "C" {

void nx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx::filt::run_checked("nx_box2d_u16_k3", box3_image, dst, src, w, h);
}

void nx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx::filt::run_checked("nx_gauss2d_u16_k3", gauss3_image, dst, src, w, h);
}

}  // extern "C"
