// A pixel at column col with distance d gives, in single precision:
//   r = d * dist_scale, u = (col - cx) * inv_fx, z = r / sqrt(u * u + vv1),
//   x = u * z, y = v * z,
// the same operations in the same order in the scalar and the vector form.
#include "api/point_cloud_rays.h"

#include <cmath>

#include "imgproc/simd.h"

#if defined(__x86_64__) && !defined(NIVEX_NO_SIMD_CLONES)
#include <immintrin.h>
#define NX_RAYS_AVX2 1
#endif

namespace nx {

namespace {

constexpr float kMaxDistance = 60.0f;

void rays_scalar(const float *d, int begin, int n, int col0, const RowRays &g, RayBlock &out) {
    for (int i = begin; i < n; ++i) {
        const float di = d[i];
        const float r = di * g.dist_scale;
        const float u = (static_cast<float>(col0 + i) - g.cx) * g.inv_fx;
        const float z = r / std::sqrt(u * u + g.vv1);
        out.x[i] = u * z;
        out.y[i] = g.v * z;
        out.z[i] = z;
        out.r[i] = r;
        out.valid[i] = di > 0.0f && di < kMaxDistance;
    }
}

#ifdef NX_RAYS_AVX2

using nx::simd::f32x8;
using nx::simd::i32x8;

__attribute__((target("avx2"))) void rays_avx2(const float *d, int n, int col0, const RowRays &g,
                                               RayBlock &out) {
    const f32x8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const f32x8 di = f32x8(_mm256_loadu_ps(d + i));
        const f32x8 r = di * g.dist_scale;
        const f32x8 u = (static_cast<float>(col0 + i) + lane - g.cx) * g.inv_fx;
        const f32x8 z = r / f32x8(_mm256_sqrt_ps(__m256(u * u + g.vv1)));
        _mm256_storeu_ps(out.x + i, __m256(u * z));
        _mm256_storeu_ps(out.y + i, __m256(g.v * z));
        _mm256_storeu_ps(out.z + i, __m256(z));
        _mm256_storeu_ps(out.r + i, __m256(r));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out.valid + i),
                            __m256i((di > 0.0f) & (di < kMaxDistance)));
    }
    rays_scalar(d, i, n, col0, g, out);
}

#endif

}  // namespace

void compute_rays(const float *d, int n, int col0, const RowRays &row, RayBlock &out) {
#ifdef NX_RAYS_AVX2
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    if (has_avx2) return rays_avx2(d, n, col0, row, out);
#endif
    rays_scalar(d, 0, n, col0, row, out);
}

}  // namespace nx
