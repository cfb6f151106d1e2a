// Nearest-neighbour remapping through the undistortion maps.
//
// Per output pixel: the map position, scaled down by the sub-sampling factor,
// rounded by adding 0.5 and truncating toward zero. Runs of pixels first get
// their source index computed in vector lanes (-1 for "no source"), then a
// plain loop copies the samples.
#include <cstdint>

#include "api/nx_log.h"
#include "imgproc/nx_calib_len.h"
#include "imgproc/nx_simd.h"

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
        T vx = nx::simd::load_as<T>(mx + i);
        T vy = nx::simd::load_as<T>(my + i);
        nx::simd::store_as(idx + i,
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

NX_SIMD_CLONES
void remap_u16(const RemapJob &job, uint16_t *dst, const uint16_t *src, uint16_t invalid) {
    remap_image(job, dst, src, invalid);
}

NX_SIMD_CLONES
void remap_f32(const RemapJob &job, float *dst, const float *src, float invalid) {
    remap_image(job, dst, src, invalid);
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
