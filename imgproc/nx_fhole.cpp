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

NX_SIMD_CLONES
void fhole3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    constexpr int kScratch = Strip<1>::kScratch;
    uint16_t column[kScratch], north_south[kScratch];
    for (int y = 0; y < h; ++y) {
        RowSet<3> rows = clamped_rows<3>(src, w, h, y - 1);
        for_each_strip<1>(w, [&](const Strip<1> &s) NX_LAMBDA_INLINE {
            for_signed_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T ns = vmax(load<T>(rows[0] + x), load<T>(rows[2] + x));
                store(north_south + s.at(x), ns);
                store(column + s.at(x), vmax(ns, load<T>(rows[1] + x)));
            });
            pad_ends(column, s);
            pad_ends(north_south, s);
            const uint16_t *centre = rows[1] + s.x0;
            uint16_t *out = nx::filt::row_of(dst, w, y) + s.x0;
            for_signed_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T around = vmax(vmax(load<T>(column + t), load<T>(column + t + 2)),
                                load<T>(north_south + t + 1));
                store(out + t, fill_hole(load<T>(centre + t), around));
            });
        });
    }
}

NX_SIMD_CLONES
void fhole5_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    constexpr int kScratch = Strip<2>::kScratch;
    uint16_t column[kScratch], off_centre[kScratch];
    for (int y = 0; y < h; ++y) {
        RowSet<5> rows = clamped_rows<5>(src, w, h, y - 2);
        for_each_strip<2>(w, [&](const Strip<2> &s) NX_LAMBDA_INLINE {
            for_signed_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T others = vmax(vmax(load<T>(rows[0] + x), load<T>(rows[1] + x)),
                                vmax(load<T>(rows[3] + x), load<T>(rows[4] + x)));
                store(off_centre + s.at(x), others);
                store(column + s.at(x), vmax(others, load<T>(rows[2] + x)));
            });
            pad_ends(column, s);
            pad_ends(off_centre, s);
            const uint16_t *centre = rows[2] + s.x0;
            uint16_t *out = nx::filt::row_of(dst, w, y) + s.x0;
            for_signed_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T around = vmax(vmax(load<T>(column + t), load<T>(column + t + 1)),
                                vmax(load<T>(column + t + 3), load<T>(column + t + 4)));
                around = vmax(around, load<T>(off_centre + t + 2));
                store(out + t, fill_hole(load<T>(centre + t), around));
            });
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
