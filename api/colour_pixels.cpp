#include "api/colour_pixels.h"

#include <climits>

#include "api/float_to_int.h"
#include "imgproc/nx_simd.h"

#if defined(__x86_64__) && !defined(NIVEX_NO_SIMD_CLONES)
#include <immintrin.h>
#define NX_COLOUR_AVX2 1
#endif

namespace nx {

int pixel_mm(float metres) {
    if (!(metres == metres)) return INT_MIN;
    return trunc_to_int(metres * 1000.0f);
}

namespace {

void colour_scalar(const nx_cmap &cmap, const float *src, int begin, int n, uint32_t *colours) {
    for (int i = begin; i < n; ++i)
        colours[i] = cmap_color(cmap, pixel_mm(src[i]));
}

#ifdef NX_COLOUR_AVX2

using nx::simd::f32x8;
using nx::simd::i32x8;
typedef uint32_t u32x8 __attribute__((vector_size(32)));

constexpr int32_t kLowAmp = NX_PIXEL_LOW_AMP;
constexpr int32_t kSaturated = NX_PIXEL_SATURATED;
constexpr int32_t kOverflow = NX_PIXEL_OVERFLOW;

// Eight pixels at a time. Lanes whose millimetres do not fit an int go
// through the scalar rule; the rest computes what cmap_color computes: the
// offset above range_min (exact, as the range spans less than 2^31), scaled
// and truncated in single precision, the table index clamped to the table.
__attribute__((target("avx2"))) void colour_avx2(const nx_cmap &cmap, const float *src, int n,
                                                 uint32_t *colours) {
    const int32_t lo = cmap.range_min, hi = cmap.range_max, size = cmap.size;
    const float scale = cmap.index_scale;
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const f32x8 mm = f32x8(_mm256_loadu_ps(src + i)) * 1000.0f;
        const i32x8 fits = (mm >= -2147483648.0f) & (mm < 2147483648.0f);
        if (_mm256_movemask_ps(__m256(fits)) != 0xFF) {
            colour_scalar(cmap, src, i, i + 8, colours);
            continue;
        }
        const i32x8 v = i32x8(_mm256_cvttps_epi32(__m256(mm)));
        const i32x8 inside = (v > lo) & (v <= hi);
        const i32x8 offset = i32x8(u32x8(v) - static_cast<uint32_t>(lo)) & inside;
        const f32x8 scaled = __builtin_convertvector(offset, f32x8) * scale;
        i32x8 k = size - i32x8(_mm256_cvttps_epi32(__m256(scaled)));
        k = k < 0 ? 0 : k;
        k = k >= size ? size - 1 : k;
        i32x8 c =
            i32x8(_mm256_i32gather_epi32(reinterpret_cast<const int *>(cmap.table), __m256i(k), 4));
        c &= inside;
        c = v == kLowAmp ? 0 : c;
        c = v == kSaturated ? static_cast<int32_t>(kColourSaturated) : c;
        c = v == kOverflow ? static_cast<int32_t>(kColourOverflow) : c;
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(colours + i), __m256i(c));
    }
    colour_scalar(cmap, src, i, n, colours);
}

// The vector form needs a table and a range narrower than 2^31.
bool vector_form_fits(const nx_cmap &cmap) {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 && cmap.table != nullptr && cmap.size > 0 &&
           static_cast<long long>(cmap.range_max) - cmap.range_min <= INT_MAX;
}

#endif

}  // namespace

void colour_pixels(const nx_cmap &cmap, const float *src, int n, uint32_t *colours) {
#ifdef NX_COLOUR_AVX2
    if (vector_form_fits(cmap)) return colour_avx2(cmap, src, n, colours);
#endif
    colour_scalar(cmap, src, 0, n, colours);
}

}  // namespace nx
