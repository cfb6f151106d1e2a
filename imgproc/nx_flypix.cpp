// Flying-pixel removal: pixels on a steep depth edge become 0.
//
// The gradient is the Sobel operator on the neighbours divided by 4 (q = p / 4,
// at most 16383). Split into its separable parts, every intermediate fits in
// 16 bits:
//   gx = S[x+1] - S[x-1]   with S = qN + 2 qC + qS (column smoothing),
//   gy = H(qS) - H(qN)     with H(q)[x] = q[x-1] + 2 q[x] + q[x+1],
// and |gx|, |gy| are at most 65532. The test gx^2 + gy^2 > threshold / 16 has
// a limit below 2^28, so a component of 16384 or more decides it on its own;
// clamping both components to 16384 keeps the sum of squares below 2^31.
#include "imgproc/filter_rows.h"
#include "imgproc/nx_filter.h"

namespace {

using nx::filt::for_row_steps;
using nx::filt::pad_ends;
using nx::filt::RowSet;
using nx::filt::Strip;
using nx::simd::absdiff;
using nx::simd::for_samples;
using nx::simd::keep_where;
using nx::simd::load;
using nx::simd::squares_at_most;
using nx::simd::store;
using nx::simd::vmin;

constexpr int kScratch = Strip<1>::kScratch;
constexpr uint16_t kDeciding = 16384;  // kDeciding^2 = 2^28 exceeds every limit

template <class T>
NX_INLINE T row_smooth(const uint16_t *q, int t) {
    return static_cast<T>(load<T>(q + t) + (load<T>(q + t + 1) << 1) + load<T>(q + t + 2));
}

NX_SIMD_CLONES
void flypix_image(uint16_t *dst, const uint16_t *src, int w, int h, int32_t limit) {
    uint16_t smooth[kScratch], q_north[kScratch], q_south[kScratch];
    for_row_steps<1, 1>(
        dst, src, w, h,
        [&](const RowSet<3> &rows, const Strip<1> &s) NX_LAMBDA_INLINE {
            for_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T n = static_cast<T>(load<T>(rows[0] + x) >> 2);
                T c = static_cast<T>(load<T>(rows[1] + x) >> 2);
                T so = static_cast<T>(load<T>(rows[2] + x) >> 2);
                int i = s.at(x);
                store(smooth + i, static_cast<T>(n + (c << 1) + so));
                store(q_north + i, n);
                store(q_south + i, so);
            });
        },
        [&](const RowSet<3> &rows, const Strip<1> &s, int, uint16_t *out) NX_LAMBDA_INLINE {
            for (uint16_t *a : {smooth, q_north, q_south})
                pad_ends(a, s);
            const uint16_t *centre = rows[1] + s.x0;
            for_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T gx = absdiff(load<T>(smooth + t + 2), load<T>(smooth + t));
                T gy = absdiff(row_smooth<T>(q_south, t), row_smooth<T>(q_north, t));
                gx = vmin(gx, nx::simd::splat<T>(kDeciding));
                gy = vmin(gy, nx::simd::splat<T>(kDeciding));
                store(out + t, keep_where(squares_at_most(gx, gy, limit), load<T>(centre + t)));
            });
        });
}

}  // namespace

extern "C" {

void nx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h, uint32_t threshold) {
    auto filter = [limit = static_cast<int32_t>(threshold >> 4)](uint16_t *d, const uint16_t *s,
                                                                 int iw, int ih) {
        flypix_image(d, s, iw, ih, limit);
    };
    nx::filt::run_checked("nx_flypix_u16_k3", filter, dst, src, w, h);
}

}  // extern "C"
