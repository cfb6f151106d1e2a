// Hole filling: a pixel without a valid distance takes its largest neighbour.
//
// Samples are compared as signed 16-bit values. Valid distances (1..32767) are
// positive; 0 and everything from 32768 up, which includes the marker codes,
// read as 0 or negative and count as holes. So a valid neighbour always beats
// a marker, and among holes 0 beats every marker and a larger marker code beats
// a smaller one.
#include "imgproc/filter_rows.h"
#include "imgproc/nx_filter.h"

namespace {

using nx::filt::for_row_steps;
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
// one source row, so the shared rows are loaded and combined once. Per output
// row the scratch holds the column maxima and the maxima without the centre
// row.

NX_SIMD_CLONES
void fhole3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    constexpr int kScratch = Strip<1>::kScratch;
    uint16_t column[2][kScratch], north_south[2][kScratch];
    for_row_steps<1, 2>(
        dst, src, w, h,
        [&](const RowSet<4> &rows, const Strip<1> &s) NX_LAMBDA_INLINE {
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
        },
        [&](const RowSet<4> &rows, const Strip<1> &s, int r, uint16_t *out) NX_LAMBDA_INLINE {
            const uint16_t *col = pad_ends(column[r], s), *ns = pad_ends(north_south[r], s);
            const uint16_t *centre = rows[1 + r] + s.x0;
            for_signed_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T around = vmax(vmax(load<T>(col + t), load<T>(col + t + 2)), load<T>(ns + t + 1));
                store(out + t, fill_hole(load<T>(centre + t), around));
            });
        });
}

NX_SIMD_CLONES
void fhole5_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    constexpr int kScratch = Strip<2>::kScratch;
    uint16_t column[2][kScratch], off_centre[2][kScratch];
    for_row_steps<2, 2>(
        dst, src, w, h,
        [&](const RowSet<6> &rows, const Strip<2> &s) NX_LAMBDA_INLINE {
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
        },
        [&](const RowSet<6> &rows, const Strip<2> &s, int r, uint16_t *out) NX_LAMBDA_INLINE {
            const uint16_t *col = pad_ends(column[r], s), *off = pad_ends(off_centre[r], s);
            const uint16_t *centre = rows[2 + r] + s.x0;
            for_signed_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T around = vmax(vmax(load<T>(col + t), load<T>(col + t + 1)),
                                vmax(load<T>(col + t + 3), load<T>(col + t + 4)));
                around = vmax(around, load<T>(off + t + 2));
                store(out + t, fill_hole(load<T>(centre + t), around));
            });
        });
}

}  // namespace

extern "C" {

void nx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx::filt::run_checked("nx_fhole_u16_k3", fhole3_image, dst, src, w, h);
}

void nx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx::filt::run_checked("nx_fhole_u16_k5", fhole5_image, dst, src, w, h);
}

}  // extern "C"
