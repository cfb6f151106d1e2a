#include "api/colour_pixels.h"

#include <climits>
#include <cstring>

#include "api/float_to_int.h"
#include "imgproc/simd.h"

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

// One colour in the layout: 3-byte layouts red, green, blue (or the
// reverse), the 32-bit layout as one value in host order.
void put_colour(uint32_t c, int outfmt, uint8_t *p) {
    switch (outfmt) {
        case NIVEX_CMAP_OUTFMT_U32:
            std::memcpy(p, &c, sizeof c);
            break;
        case NIVEX_CMAP_OUTFMT_3B_SWAP:
            p[0] = static_cast<uint8_t>(c >> 16);
            p[1] = static_cast<uint8_t>(c >> 8);
            p[2] = static_cast<uint8_t>(c);
            break;
        default:
            p[0] = static_cast<uint8_t>(c);
            p[1] = static_cast<uint8_t>(c >> 8);
            p[2] = static_cast<uint8_t>(c >> 16);
            break;
    }
}

void colour_scalar(const nx_cmap &cmap, const float *src, int begin, int end, int outfmt,
                   uint8_t *out) {
    const size_t bytes = outfmt == NIVEX_CMAP_OUTFMT_U32 ? 4 : 3;
    for (int i = begin; i < end; ++i)
        put_colour(cmap_color(cmap, pixel_mm(src[i])), outfmt,
                   out + bytes * static_cast<size_t>(i));
}

#ifdef NX_COLOUR_AVX2

using nx::simd::f32x8;
using nx::simd::i32x8;
typedef uint32_t u32x8 __attribute__((vector_size(32)));

constexpr int32_t kLowAmp = NX_PIXEL_LOW_AMP;
constexpr int32_t kSaturated = NX_PIXEL_SATURATED;
constexpr int32_t kOverflow = NX_PIXEL_OVERFLOW;

// Eight pixels at a time. The lanes compute what cmap_color computes: the
// offset above range_min (exact, as the range spans less than 2^31), scaled
// and truncated in single precision, the table index clamped to the table.
// A group with a value whose millimetres do not fit an int goes through the
// scalar rule. 3-byte layouts are packed four pixels per 128-bit half and
// stored as two 16-byte pieces, whose last four bytes the next piece
// overwrites; the final pixels, where that would pass the end, go through
// the scalar rule too.
__attribute__((target("avx2"))) void colour_avx2(const nx_cmap &cmap, const float *src, int n,
                                                 int outfmt, uint8_t *out) {
    const int32_t lo = cmap.range_min, hi = cmap.range_max, size = cmap.size;
    const float scale = cmap.index_scale;
    const bool words = outfmt == NIVEX_CMAP_OUTFMT_U32;
    const __m256i pack =
        outfmt == NIVEX_CMAP_OUTFMT_3B_SWAP
            ? _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                               5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
            : _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4,
                               5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // 3-byte pieces reach 4 bytes past their 8 pixels.
    const int vector_end = words ? n : n - 2;
    int i = 0;
    for (; i + 8 <= vector_end; i += 8) {
        const f32x8 mm = f32x8(_mm256_loadu_ps(src + i)) * 1000.0f;
        const i32x8 fits = (mm >= -2147483648.0f) & (mm < 2147483648.0f);
        if (_mm256_movemask_ps(__m256(fits)) != 0xFF) {
            colour_scalar(cmap, src, i, i + 8, outfmt, out);
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
        if (words) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 4 * static_cast<size_t>(i)),
                                __m256i(c));
        } else {
            const __m256i packed = _mm256_shuffle_epi8(__m256i(c), pack);
            uint8_t *p = out + 3 * static_cast<size_t>(i);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm256_castsi256_si128(packed));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 12),
                             _mm256_extracti128_si256(packed, 1));
        }
    }
    colour_scalar(cmap, src, i, n, outfmt, out);
}

// The vector form needs a table and a range narrower than 2^31, and writes
// little-endian bytes.
bool vector_form_fits(const nx_cmap &cmap) {
    static const bool has_avx2 = __builtin_cpu_supports("avx2");
    return has_avx2 && cmap.table != nullptr && cmap.size > 0 &&
           static_cast<long long>(cmap.range_max) - cmap.range_min <= INT_MAX;
}

#endif

}  // namespace

void colour_pixels(const nx_cmap &cmap, const float *src, int n, int outfmt, uint8_t *out) {
#ifdef NX_COLOUR_AVX2
    if (vector_form_fits(cmap)) return colour_avx2(cmap, src, n, outfmt, out);
#endif
    colour_scalar(cmap, src, 0, n, outfmt, out);
}

}  // namespace nx
