// Nearest-neighbour remapping through the undistortion maps.
//
// Per output pixel: the map position, scaled down by the sub-sampling factor,
// rounded by adding 0.5 and truncating toward zero. The source indices of a
// run of pixels are computed in vector lanes (-1 for "no source"). With AVX2
// and a full-resolution map the samples are then fetched by hardware gathers;
// otherwise a plain loop copies them.
#include <cstdint>

#if defined(__x86_64__) && !defined(NIVEX_NO_SIMD_CLONES)
#include <immintrin.h>
#define NX_REMAP_AVX2 1
#endif

#include "common/nx_log.h"
#include "imgproc/nx_calib_len.h"
#include "imgproc/simd.h"

namespace {

using nx::simd::f32x8;
using nx::simd::i32x8;

constexpr int kBlock = 64;
// The largest float below 2^31: anything under it converts to int safely.
constexpr float kIntLimit = 2147483520.0f;

NX_INLINE int32_t to_int(float v) {
    return static_cast<int32_t>(v);
}
NX_INLINE i32x8 to_int(const f32x8 &v) {
    return __builtin_convertvector(v, i32x8);
}

// Source index of one lane's worth of map positions, -1 without a source.
template <class T, class I>
NX_INLINE I source_index(const T &map_x, const T &map_y, float fsx, float fsy, bool divide,
                         int src_w, int src_h) {
    T mx = map_x, my = map_y;
    if (divide) {
        mx = mx / fsx;
        my = my / fsy;
    }
    T vx = mx + 0.5f;
    T vy = my + 0.5f;
    // Truncation toward zero lands inside the image for -1 < v < size.
    auto ok = (vx > -1.0f) & (vx < kIntLimit) & (vy > -1.0f) & (vy < kIntLimit);
    I ix = to_int(ok ? vx : T{});
    I iy = to_int(ok ? vy : T{});
    ok = ok & (ix < src_w) & (iy < src_h);
    I none = I{} - 1;
    return ok ? (ok ? iy : I{}) * src_w + (ok ? ix : I{}) : none;
}

struct RemapJob {
    const nx_lens_map *map;
    int src_w, src_h;
    int sx, sy;
};

// Source indices of output pixels [x, x + n) of row y.
NX_INLINE void block_indices(const RemapJob &job, int y, int x, int n, int32_t *idx) {
    const size_t base =
        static_cast<size_t>(y) * static_cast<size_t>(job.sy) * static_cast<size_t>(job.map->width);
    const float *mx = job.map->map_x + base;
    const float *my = job.map->map_y + base;
    float gx[kBlock], gy[kBlock];
    if (job.sx == 1) {
        mx += x;
        my += x;
    } else {
        for (int i = 0; i < n; ++i) {
            size_t at = static_cast<size_t>(x + i) * static_cast<size_t>(job.sx);
            gx[i] = mx[at];
            gy[i] = my[at];
        }
        mx = gx;
        my = gy;
    }
    const float fsx = static_cast<float>(job.sx), fsy = static_cast<float>(job.sy);
    // Dividing by 1 changes nothing; skipping it saves the costliest step.
    const bool divide = job.sx != 1 || job.sy != 1;
    nx::simd::for_lanes<f32x8, float>(0, n, [&](int i, auto tag) NX_LAMBDA_INLINE {
        using T = typename decltype(tag)::type;
        using I = decltype(to_int(T{}));
        T vx = nx::simd::load<T>(mx + i);
        T vy = nx::simd::load<T>(my + i);
        nx::simd::store(idx + i,
                        source_index<T, I>(vx, vy, fsx, fsy, divide, job.src_w, job.src_h));
    });
}

template <class P>
NX_INLINE void remap_image(const RemapJob &job, P *dst, const P *src, P invalid) {
    int32_t idx[kBlock];
    for (int y = 0; y < job.src_h; ++y) {
        P *out = dst + static_cast<size_t>(y) * static_cast<size_t>(job.src_w);
        for (int x = 0; x < job.src_w; x += kBlock) {
            int n = job.src_w - x < kBlock ? job.src_w - x : kBlock;
            block_indices(job, y, x, n, idx);
            for (int i = 0; i < n; ++i) {
                int32_t j = idx[i];
                P v = src[j < 0 ? 0 : j];
                out[x + i] = j < 0 ? invalid : v;
            }
        }
    }
}

// The pixels of a row that the vector steps leave over.
template <class P>
NX_INLINE void remap_tail(const RemapJob &job, const float *mx, const float *my, int x, P *out,
                          const P *src, P invalid) {
    for (; x < job.src_w; ++x) {
        int32_t j =
            source_index<float, int32_t>(mx[x], my[x], 1.0f, 1.0f, false, job.src_w, job.src_h);
        out[x] = j < 0 ? invalid : src[j];
    }
}

#ifdef NX_REMAP_AVX2

#define NX_AVX2 __attribute__((target("avx2")))

// Runs step(mx, my, out) over each row of a full-resolution map in runs of
// `run` pixels; the pixels left over go through the scalar rule.
template <class P, class Step>
NX_AVX2 NX_INLINE void for_map_runs_avx2(const RemapJob &job, P *dst, const P *src, P invalid,
                                         int run, Step &&step) {
    for (int y = 0; y < job.src_h; ++y) {
        size_t row = static_cast<size_t>(y) * static_cast<size_t>(job.src_w);
        const float *mx = job.map->map_x + row;
        const float *my = job.map->map_y + row;
        int x = 0;
        for (; x + run <= job.src_w; x += run)
            step(mx + x, my + x, dst + row + x);
        remap_tail(job, mx, my, x, dst + row, src, invalid);
    }
}

// Source indices of eight pixels. Written through memory rather than
// returned, so that the AVX2 callers pass no vectors to this generic helper
// (which is inlined into them all the same).
NX_INLINE void indices8(const RemapJob &job, const float *mx, const float *my, i32x8 *idx) {
    *idx = source_index<f32x8, i32x8>(nx::simd::load<f32x8>(mx), nx::simd::load<f32x8>(my), 1.0f,
                                      1.0f, false, job.src_w, job.src_h);
}

// Eight 16-bit samples widened to 32 bits. The gather reads 32 bits at each
// sample, so the image's last sample (whose upper neighbour lies outside the
// buffer) is filled in separately.
NX_AVX2 NX_INLINE i32x8 gather8_u16(const uint16_t *src, const i32x8 &idx, int32_t last,
                                    int32_t invalid) {
    i32x8 ok = idx >= 0;
    i32x8 at_last = idx == last;
    __m256i got =
        _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int *>(src),
                                    __m256i(idx), __m256i(ok & ~at_last), 2);
    i32x8 v = i32x8(got) & 0xFFFF;
    v = at_last ? i32x8{} + src[last] : v;
    return ok ? v : i32x8{} + invalid;
}

NX_AVX2 void remap_full_u16_avx2(const RemapJob &job, uint16_t *dst, const uint16_t *src,
                                 uint16_t invalid) {
    const int32_t last = job.src_w * job.src_h - 1;
    for_map_runs_avx2(
        job, dst, src, invalid, 16,
        [&](const float *mx, const float *my, uint16_t *out) NX_AVX2 NX_LAMBDA_INLINE {
            i32x8 lo_idx, hi_idx;
            indices8(job, mx, my, &lo_idx);
            indices8(job, mx + 8, my + 8, &hi_idx);
            i32x8 lo = gather8_u16(src, lo_idx, last, invalid);
            i32x8 hi = gather8_u16(src, hi_idx, last, invalid);
            __m256i packed =
                _mm256_permute4x64_epi64(_mm256_packus_epi32(__m256i(lo), __m256i(hi)), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), packed);
        });
}

NX_AVX2 void remap_full_f32_avx2(const RemapJob &job, float *dst, const float *src, float invalid) {
    for_map_runs_avx2(job, dst, src, invalid, 8,
                      [&](const float *mx, const float *my, float *out) NX_AVX2 NX_LAMBDA_INLINE {
                          i32x8 idx;
                          indices8(job, mx, my, &idx);
                          __m256 got =
                              _mm256_mask_i32gather_ps(_mm256_set1_ps(invalid), src, __m256i(idx),
                                                       _mm256_castsi256_ps(__m256i(idx >= 0)), 4);
                          _mm256_storeu_ps(out, got);
                      });
}

bool use_avx2(const RemapJob &job) {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 && job.sx == 1 && job.sy == 1;
}

#endif  // NX_REMAP_AVX2

NX_SIMD_CLONES
void remap_blocks_u16(const RemapJob &job, uint16_t *dst, const uint16_t *src, uint16_t invalid) {
    remap_image(job, dst, src, invalid);
}

NX_SIMD_CLONES
void remap_blocks_f32(const RemapJob &job, float *dst, const float *src, float invalid) {
    remap_image(job, dst, src, invalid);
}

void remap_u16(const RemapJob &job, uint16_t *dst, const uint16_t *src, uint16_t invalid) {
#ifdef NX_REMAP_AVX2
    if (use_avx2(job)) return remap_full_u16_avx2(job, dst, src, invalid);
#endif
    remap_blocks_u16(job, dst, src, invalid);
}

void remap_f32(const RemapJob &job, float *dst, const float *src, float invalid) {
#ifdef NX_REMAP_AVX2
    if (use_avx2(job)) return remap_full_f32_avx2(job, dst, src, invalid);
#endif
    remap_blocks_f32(job, dst, src, invalid);
}

// The checks both forms share; false ends the call with `result`.
template <class P>
bool remap_args_ok(const char *fn, const nx_lens_map *map, const P *dst, int dst_len, const P *src,
                   int src_w, int src_h, int &result) {
    result = 0;
    if (map == nullptr || !map->ready || map->map_x == nullptr || map->map_y == nullptr) {
        NX_ERR(fn, "[%s] Wrong parameter: calib_map is not built\n");
        return false;
    }
    // A zero size cannot divide the map; it gets the same message.
    if (src_w == 0 || src_h == 0 || map->width % src_w != 0 || map->height % src_h != 0) {
        NX_ERR(fn, "[%s] Wrong parameter: calib_map: %dx%d, src_img: %dx%d\n", map->width,
               map->height, src_w, src_h);
        return false;
    }
    if (static_cast<long long>(dst_len) < static_cast<long long>(src_w) * src_h) {
        NX_ERR(fn, "[%s] Wrong parameter: %dx%d > dst_len=%d\n", src_w, src_h, dst_len);
        return false;
    }
    result = 1;
    if (src_w < 0 || src_h < 0) return false;
    if (dst == nullptr || src == nullptr) {
        NX_ERR(fn, "[%s] Wrong parameter: image is NULL\n");
        result = 0;
        return false;
    }
    return true;
}

RemapJob job_for(const nx_lens_map *map, int src_w, int src_h) {
    return {map, src_w, src_h, map->width / src_w, map->height / src_h};
}

}  // namespace

extern "C" {

int nx_calib_len_undistort_u16(const nx_lens_map *map, uint16_t *dst, int dst_len,
                               const uint16_t *src, int src_w, int src_h, uint16_t invalid) {
    int result = 0;
    if (!remap_args_ok("nx_calib_len_undistort_u16", map, dst, dst_len, src, src_w, src_h, result))
        return result;
    remap_u16(job_for(map, src_w, src_h), dst, src, invalid);
    return 1;
}

int nx_calib_len_undistort_f32(const nx_lens_map *map, float *dst, int dst_len, const float *src,
                               int src_w, int src_h, float invalid) {
    int result = 0;
    if (!remap_args_ok("nx_calib_len_undistort_f32", map, dst, dst_len, src, src_w, src_h, result))
        return result;
    remap_f32(job_for(map, src_w, src_h), dst, src, invalid);
    return 1;
}

}  // extern "C"
