// Hole filling: a pixel without a valid distance takes its largest neighbour.
//
// Samples are compared as signed 16-bit values. Valid distances (1..32767) are
// positive; 0 and everything from 32768 up, which includes the marker codes,
// read as 0 or negative and count as holes. So a valid neighbour always beats
// a marker, and among holes 0 beats every marker and a larger marker code beats
// a smaller one.
#include <algorithm>

#include "imgproc/nx_filter.h"
#include "imgproc/nx_filter_rows.h"

namespace {

using nx::filt::clamped_rows;
using nx::filt::for_each_strip;
using nx::filt::pad_ends;
using nx::filt::RowSet;
using nx::filt::Strip;
using nx::simd::i16x16;
using nx::simd::load;
using nx::simd::store;
using nx::simd::vmax;

template <class T>
NX_INLINE T fill_hole(const T &centre, const T &neighbours) {
    return centre > T{} ? centre : neighbours;
}

template <class F>
NX_INLINE void for_signed_samples(int begin, int end, F &&f) {
    nx::simd::for_lanes<i16x16, int16_t>(begin, end, static_cast<F &&>(f));
}

// Both versions take two output rows at a time: their windows share all but
// one source row, so the shared rows are loaded and combined once.

NX_SIMD_CLONES
void fhole3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    constexpr int kScratch = Strip<1>::kScratch;
    // Per output row: the column maximum and the maximum without the centre row.
    uint16_t column[2][kScratch], north_south[2][kScratch];
    for (int y = 0; y < h; y += 2) {
        RowSet<4> rows = clamped_rows<4>(src, w, h, y - 1);
        int out_rows = std::min(2, h - y);
        for_each_strip<1>(w, [&](const Strip<1> &s) NX_LAMBDA_INLINE {
            for_signed_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T r0 = load<T>(rows[0] + x), r1 = load<T>(rows[1] + x);
                T r2 = load<T>(rows[2] + x), r3 = load<T>(rows[3] + x);
                T ns0 = vmax(r0, r2), ns1 = vmax(r1, r3);
                int i = s.at(x);
                store(north_south[0] + i, ns0);
                store(north_south[1] + i, ns1);
                store(column[0] + i, vmax(ns0, r1));
                store(column[1] + i, vmax(ns1, r2));
            });
            for (int r = 0; r < out_rows; ++r) {
                pad_ends(column[r], s);
                pad_ends(north_south[r], s);
                const uint16_t *col = column[r], *ns = north_south[r];
                const uint16_t *centre = rows[1 + r] + s.x0;
                uint16_t *out = nx::filt::row_of(dst, w, y + r) + s.x0;
                for_signed_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                    using T = typename decltype(tag)::type;
                    T around =
                        vmax(vmax(load<T>(col + t), load<T>(col + t + 2)), load<T>(ns + t + 1));
                    store(out + t, fill_hole(load<T>(centre + t), around));
                });
            }
        });
    }
}

NX_SIMD_CLONES
void fhole5_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    constexpr int kScratch = Strip<2>::kScratch;
    // Per output row: the column maximum and the maximum without the centre row.
    uint16_t column[2][kScratch], off_centre[2][kScratch];
    for (int y = 0; y < h; y += 2) {
        RowSet<6> rows = clamped_rows<6>(src, w, h, y - 2);
        int out_rows = std::min(2, h - y);
        for_each_strip<2>(w, [&](const Strip<2> &s) NX_LAMBDA_INLINE {
            for_signed_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T r2 = load<T>(rows[2] + x), r3 = load<T>(rows[3] + x);
                T shared = vmax(load<T>(rows[1] + x), load<T>(rows[4] + x));
                T off0 = vmax(shared, vmax(load<T>(rows[0] + x), r3));
                T off1 = vmax(shared, vmax(r2, load<T>(rows[5] + x)));
                int i = s.at(x);
                store(off_centre[0] + i, off0);
                store(off_centre[1] + i, off1);
                store(column[0] + i, vmax(off0, r2));
                store(column[1] + i, vmax(off1, r3));
            });
            for (int r = 0; r < out_rows; ++r) {
                pad_ends(column[r], s);
                pad_ends(off_centre[r], s);
                const uint16_t *col = column[r], *off = off_centre[r];
                const uint16_t *centre = rows[2 + r] + s.x0;
                uint16_t *out = nx::filt::row_of(dst, w, y + r) + s.x0;
                for_signed_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                    using T = typename decltype(tag)::type;
                    T around = vmax(vmax(load<T>(col + t), load<T>(col + t + 1)),
                                    vmax(load<T>(col + t + 3), load<T>(col + t + 4)));
                    around = vmax(around, load<T>(off + t + 2));
                    store(out + t, fill_hole(load<T>(centre + t), around));
                });
            }
        });
    }
}

}  // namespace

extern "C" {

void nx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (!nx::filt::image_args_ok("nx_fhole_u16_k3", dst, src, w, h)) return;
    fhole3_image(dst, src, w, h);
}

void nx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h) {
    if (!nx::filt::image_args_ok("nx_fhole_u16_k5", dst, src, w, h)) return;
    fhole5_image(dst, src, w, h);
}

}  // extern "C"
