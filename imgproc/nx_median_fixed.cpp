// Exact 3x3 and 5x5 medians, vectorised across 16 pixels of a row.
//
// Both start by sorting every window column (vertical step). Two output rows
// that follow each other share all but one source row of their columns, so the
// shared rows are sorted once and the one extra sample of each row is inserted
// afterwards. The horizontal step then only merges sorted columns:
//  - 3x3: the median of the column maxima's minimum, the column medians'
//    median and the column minima's maximum;
//  - 5x5: neighbouring columns are merged pairwise into sorted runs of 10
//    (each run serves two pixels), the middle six of two runs are selected,
//    and the fifth column is merged into those.
#include "imgproc/filter_rows.h"
#include "imgproc/nx_filter.h"

namespace {

using nx::filt::for_row_steps;
using nx::filt::pad_ends;
using nx::filt::RowSet;
using nx::filt::Strip;
using nx::simd::cx;
using nx::simd::for_samples;
using nx::simd::load;
using nx::simd::med3;
using nx::simd::store;
using nx::simd::unroll;
using nx::simd::vmax;
using nx::simd::vmin;

// ---- 3x3 -------------------------------------------------------------------

constexpr int kScratch3 = Strip<1>::kScratch;

// Sorted column of a and b (a <= b) with x inserted, stored as ranks 0..2.
template <class T>
NX_INLINE void store_inserted2(const T &a, const T &b, const T &x, uint16_t (&out)[3][kScratch3],
                               int i) {
    store(out[0] + i, vmin(a, x));
    store(out[1] + i, vmax(a, vmin(b, x)));
    store(out[2] + i, vmax(b, x));
}

template <class T>
NX_INLINE T median3_from_columns(const uint16_t (&col)[3][kScratch3], int t) {
    T lo = vmax(vmax(load<T>(col[0] + t), load<T>(col[0] + t + 1)), load<T>(col[0] + t + 2));
    T mid = med3(load<T>(col[1] + t), load<T>(col[1] + t + 1), load<T>(col[1] + t + 2));
    T hi = vmin(vmin(load<T>(col[2] + t), load<T>(col[2] + t + 1)), load<T>(col[2] + t + 2));
    return med3(lo, mid, hi);
}

NX_SIMD_CLONES
void median3_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    uint16_t col[2][3][kScratch3];
    for_row_steps<1, 2>(
        dst, src, w, h,
        [&](const RowSet<4> &rows, const Strip<1> &s) NX_LAMBDA_INLINE {
            for_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T a = load<T>(rows[1] + x);
                T b = load<T>(rows[2] + x);
                cx(a, b);
                store_inserted2(a, b, load<T>(rows[0] + x), col[0], s.at(x));
                store_inserted2(a, b, load<T>(rows[3] + x), col[1], s.at(x));
            });
        },
        [&](const RowSet<4> &, const Strip<1> &s, int r, uint16_t *out) NX_LAMBDA_INLINE {
            for (auto &rank : col[r])
                pad_ends(rank, s);
            for_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                store(out + t, median3_from_columns<T>(col[r], t));
            });
        });
}

// ---- 5x5 -------------------------------------------------------------------

constexpr int kScratch5 = Strip<2>::kScratch;

template <class T>
NX_INLINE void sort4(T (&v)[4]) {
    cx(v[0], v[1]);
    cx(v[2], v[3]);
    cx(v[0], v[2]);
    cx(v[1], v[3]);
    cx(v[1], v[2]);
}

// Sorted a[0..3] with x inserted, stored as ranks 0..4.
template <class T>
NX_INLINE void store_inserted4(const T (&a)[4], const T &x, uint16_t (&out)[5][kScratch5], int i) {
    store(out[0] + i, vmin(a[0], x));
    store(out[1] + i, vmax(a[0], vmin(a[1], x)));
    store(out[2] + i, vmax(a[1], vmin(a[2], x)));
    store(out[3] + i, vmax(a[2], vmin(a[3], x)));
    store(out[4] + i, vmax(a[3], x));
}

// Batcher's odd-even merge of sorted v[0..4] and v[5..9]; rank r of the result
// ends up in v[kMergedRank[r]].
template <class T>
NX_INLINE void merge_5_5(T (&v)[10]) {
    cx(v[0], v[5]);
    cx(v[4], v[9]);
    cx(v[4], v[5]);
    cx(v[2], v[7]);
    cx(v[2], v[4]);
    cx(v[7], v[5]);
    cx(v[1], v[6]);
    cx(v[3], v[8]);
    cx(v[3], v[6]);
    cx(v[1], v[2]);
    cx(v[3], v[4]);
    cx(v[6], v[7]);
    cx(v[8], v[5]);
}
constexpr int kMergedRank[10] = {0, 1, 2, 3, 4, 6, 7, 8, 5, 9};

// Ranks 7..12 (0-based) of the union of sorted v[0..9] and v[10..19]: the odd-
// even merge of two runs of 10, keeping only the comparisons those six ranks
// depend on. They end up in v[7], v[8], v[9], v[12], v[13], v[14].
template <class T>
NX_INLINE void middle6_of_10_10(T (&v)[20]) {
    v[10] = vmax(v[0], v[10]);
    v[8] = vmin(v[8], v[18]);
    cx(v[8], v[10]);
    cx(v[4], v[14]);
    v[8] = vmax(v[4], v[8]);
    v[14] = vmin(v[14], v[10]);
    v[12] = vmax(v[2], v[12]);
    v[6] = vmin(v[6], v[16]);
    cx(v[6], v[12]);
    v[8] = vmax(v[6], v[8]);
    cx(v[12], v[14]);
    v[11] = vmax(v[1], v[11]);
    v[9] = vmin(v[9], v[19]);
    cx(v[9], v[11]);
    cx(v[5], v[15]);
    v[9] = vmax(v[5], v[9]);
    v[15] = vmin(v[15], v[11]);
    v[13] = vmax(v[3], v[13]);
    v[7] = vmin(v[7], v[17]);
    cx(v[7], v[13]);
    cx(v[7], v[9]);
    v[13] = vmin(v[13], v[15]);
    cx(v[7], v[8]);
    cx(v[9], v[12]);
    cx(v[13], v[14]);
}

struct Median5Scratch {
    uint16_t col[2][5][kScratch5];  // sorted window columns of two output rows
    uint16_t pair[10][kScratch5];   // pair[r][t]: rank r of columns t and t + 1
};

template <class T>
NX_INLINE void merge_column_pair(const uint16_t (&col)[5][kScratch5],
                                 uint16_t (&pair)[10][kScratch5], int t) {
    T v[10];
    unroll<5>([&](auto r) NX_LAMBDA_INLINE {
        v[r] = load<T>(col[r] + t);
        v[5 + r] = load<T>(col[r] + t + 1);
    });
    merge_5_5(v);
    unroll<10>([&](auto r) NX_LAMBDA_INLINE { store(pair[r] + t, v[kMergedRank[r]]); });
}

// The window's 25 samples are 20 shared ones (two sorted pairs of columns) and
// one sorted column c. The 13th of all 25 lies among ranks 8..13 (1-based) of
// the 20, m[0..5]; it is the 6th smallest of m and c together, which is
// min over i + j = 6 of max(m_i, c_j).
template <class T>
NX_INLINE T median5_from_pairs(const Median5Scratch &s, int row, int t) {
    T v[20];
    unroll<10>([&](auto r) NX_LAMBDA_INLINE {
        v[r] = load<T>(s.pair[r] + t);
        v[10 + r] = load<T>(s.pair[r] + t + 2);
    });
    middle6_of_10_10(v);
    const uint16_t(&c)[5][kScratch5] = s.col[row];
    T m = v[14];
    m = vmin(m, vmax(v[13], load<T>(c[0] + t + 4)));
    m = vmin(m, vmax(v[12], load<T>(c[1] + t + 4)));
    m = vmin(m, vmax(v[9], load<T>(c[2] + t + 4)));
    m = vmin(m, vmax(v[8], load<T>(c[3] + t + 4)));
    m = vmin(m, vmax(v[7], load<T>(c[4] + t + 4)));
    return m;
}

NX_SIMD_CLONES
void median5_image(uint16_t *dst, const uint16_t *src, int w, int h) {
    Median5Scratch sc;
    for_row_steps<2, 2>(
        dst, src, w, h,
        [&](const RowSet<6> &rows, const Strip<2> &s) NX_LAMBDA_INLINE {
            for_samples(s.lo, s.hi, [&](int x, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                T shared[4];
                unroll<4>([&](auto i) NX_LAMBDA_INLINE { shared[i] = load<T>(rows[1 + i] + x); });
                sort4(shared);
                store_inserted4(shared, load<T>(rows[0] + x), sc.col[0], s.at(x));
                store_inserted4(shared, load<T>(rows[5] + x), sc.col[1], s.at(x));
            });
        },
        [&](const RowSet<6> &, const Strip<2> &s, int r, uint16_t *out) NX_LAMBDA_INLINE {
            for (auto &rank : sc.col[r])
                pad_ends(rank, s);
            for_samples(0, s.width() + 2, [&](int t, auto tag) NX_LAMBDA_INLINE {
                merge_column_pair<typename decltype(tag)::type>(sc.col[r], sc.pair, t);
            });
            for_samples(0, s.width(), [&](int t, auto tag) NX_LAMBDA_INLINE {
                using T = typename decltype(tag)::type;
                store(out + t, median5_from_pairs<T>(sc, r, t));
            });
        });
}

}  // namespace

extern "C" {

void nx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx::filt::run_checked("nx_median2d_u16_k3", median3_image, dst, src, w, h);
}

void nx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx::filt::run_checked("nx_median2d_u16_k5", median5_image, dst, src, w, h);
}

}  // extern "C"
