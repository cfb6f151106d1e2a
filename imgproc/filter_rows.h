// Row and strip bookkeeping shared by the neighbourhood filters.
//
// A filter works on one output row at a time. It takes the source rows of its
// window, with row indices clamped into the image (which replicates the top
// and bottom borders), and combines them column by column into a few scratch
// rows: the vertical step. It then copies the first and last scratch values
// outwards (which replicates the left and right borders) and combines
// neighbouring scratch columns into output pixels: the horizontal step. Both
// steps are plain loops over whole rows without any test for the border.
//
// Scratch rows live on the stack and hold one strip of at most kStrip output
// columns plus the window's reach on both sides; wider images are processed
// strip by strip. So the filters never allocate.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/nx_log.h"
#include "imgproc/simd.h"

namespace nx::filt {

inline constexpr int kStrip = 512;

template <int N>
using RowSet = std::array<const uint16_t *, N>;

// Source rows first_row .. first_row + N - 1, each clamped into the image.
template <int N>
NX_INLINE RowSet<N> clamped_rows(const uint16_t *src, int w, int h, int first_row) {
    RowSet<N> rows;
    for (int i = 0; i < N; ++i) {
        int y = std::clamp(first_row + i, 0, h - 1);
        rows[i] = src + static_cast<size_t>(y) * static_cast<size_t>(w);
    }
    return rows;
}

NX_INLINE uint16_t *row_of(uint16_t *img, int w, int y) {
    return img + static_cast<size_t>(y) * static_cast<size_t>(w);
}

// Output columns [x0, x1) of one strip, for a window reaching R columns to
// each side; [lo, hi) are the source columns that window covers inside the
// image. Scratch index i stands for column x0 - R + i.
template <int R>
struct Strip {
    static constexpr int kScratch = kStrip + 2 * R;

    int x0, x1, lo, hi;

    int width() const { return x1 - x0; }
    int at(int x) const { return x - x0 + R; }
};

template <int R, class F>
NX_INLINE void for_each_strip(int w, F &&f) {
    for (int x0 = 0; x0 < w; x0 += kStrip) {
        int x1 = std::min(w, x0 + kStrip);
        f(Strip<R>{x0, x1, std::max(0, x0 - R), std::min(w, x1 + R)});
    }
}

// Fills the scratch columns outside the image with the nearest column inside;
// returns a.
template <int R, class T>
NX_INLINE T *pad_ends(T *a, const Strip<R> &s) {
    int first = s.at(s.lo);
    int last = s.at(s.hi) - 1;
    for (int i = 0; i < first; ++i)
        a[i] = a[first];
    for (int i = last + 1; i < s.width() + 2 * R; ++i)
        a[i] = a[last];
    return a;
}

// The row loop of every fixed-size filter, Rows (1 or 2) output rows per step:
// two neighbouring rows share all but one source row of their windows, so a
// filter may combine the shared rows once for both.
//  - vertical(rows, strip): rows are the source rows y - R .. y + Rows - 1 + R
//    (clamped); fills the filter's scratch for columns [strip.lo, strip.hi).
//  - horizontal(rows, strip, r, out): writes output row y + r over the strip's
//    columns; out points at the strip's first column.
template <int R, int Rows, class Vertical, class Horizontal>
NX_INLINE void for_row_steps(uint16_t *dst, const uint16_t *src, int w, int h, Vertical &&vertical,
                             Horizontal &&horizontal) {
    for (int y = 0; y < h; y += Rows) {
        RowSet<2 *R + Rows> rows = clamped_rows<2 * R + Rows>(src, w, h, y - R);
        int out_rows = std::min(Rows, h - y);
        for_each_strip<R>(w, [&](const Strip<R> &s) NX_LAMBDA_INLINE {
            vertical(rows, s);
            for (int r = 0; r < out_rows; ++r)
                horizontal(rows, s, r, row_of(dst, w, y + r) + s.x0);
        });
    }
}

// The parameter test every fixed-size filter starts with, then
// filter(dst, src, w, h).
template <class Filter>
void run_checked(const char *fn, Filter &&filter, uint16_t *dst, const uint16_t *src, int w,
                 int h) {
    if (dst == nullptr || src == nullptr || w < 2 || h < 2) {
        NX_ERR(fn, "[%s]  wrong parameter:w/h=%d/%d\n", w, h);
        return;
    }
    filter(dst, src, w, h);
}

}  // namespace nx::filt
