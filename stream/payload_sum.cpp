#include "stream/payload_sum.h"

#include "common/byte_order.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define NX_PAYLOAD_SUM_AVX2 1
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nx::stream {

namespace {

// Bytes one at a time, each at its place within its word.
uint32_t copy_and_sum_bytes(uint8_t *dst, const uint8_t *src, size_t n, uint32_t offset) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
        dst[i] = src[i];
        sum += static_cast<uint32_t>(src[i]) << (8 * ((offset + i) & 3));
    }
    return sum;
}

#if defined(__SSE2__)
// Whole 16-byte blocks; each 32-bit lane is one payload word because the
// block starts on a word boundary of the payload.
uint32_t copy_and_sum_blocks(uint8_t *dst, const uint8_t *src, size_t blocks) {
    __m128i acc0 = _mm_setzero_si128();
    __m128i acc1 = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 2 <= blocks; i += 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * i + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * i), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * i + 16), b);
        acc0 = _mm_add_epi32(acc0, a);
        acc1 = _mm_add_epi32(acc1, b);
    }
    if (i < blocks) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * i), a);
        acc0 = _mm_add_epi32(acc0, a);
    }
    acc0 = _mm_add_epi32(acc0, acc1);
    acc0 = _mm_add_epi32(acc0, _mm_shuffle_epi32(acc0, _MM_SHUFFLE(1, 0, 3, 2)));
    acc0 = _mm_add_epi32(acc0, _mm_shuffle_epi32(acc0, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(acc0));
}
#else
uint32_t copy_and_sum_blocks(uint8_t *dst, const uint8_t *src, size_t blocks) {
    uint32_t sum = 0;
    for (size_t i = 0; i < 4 * blocks; ++i) {
        const uint32_t w = nx::load_le32(src + 4 * i);
        std::memcpy(dst + 4 * i, src + 4 * i, 4);
        sum += w;
    }
    return sum;
}
#endif

#if defined(NX_PAYLOAD_SUM_AVX2)
// Same as above, 32 bytes per lane group, where the CPU has AVX2.
__attribute__((target("avx2"))) uint32_t copy_and_sum_blocks_avx2(uint8_t *dst, const uint8_t *src,
                                                                  size_t blocks) {
    __m256i acc0 = _mm256_setzero_si256();
    __m256i acc1 = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 4 <= blocks; i += 4) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 16 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + 16 * i + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 16 * i), a);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 16 * i + 32), b);
        acc0 = _mm256_add_epi32(acc0, a);
        acc1 = _mm256_add_epi32(acc1, b);
    }
    acc0 = _mm256_add_epi32(acc0, acc1);
    __m128i sum = _mm_add_epi32(_mm256_castsi256_si128(acc0), _mm256_extracti128_si256(acc0, 1));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(1, 0, 3, 2)));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(sum)) +
           copy_and_sum_blocks(dst + 16 * i, src + 16 * i, blocks - i);
}

const bool g_has_avx2 = __builtin_cpu_supports("avx2");
#endif

uint32_t copy_and_sum_words(uint8_t *dst, const uint8_t *src, size_t blocks) {
#if defined(NX_PAYLOAD_SUM_AVX2)
    if (g_has_avx2) return copy_and_sum_blocks_avx2(dst, src, blocks);
#endif
    return copy_and_sum_blocks(dst, src, blocks);
}

}  // namespace

uint32_t copy_and_sum(uint8_t *dst, const uint8_t *src, size_t n, uint32_t offset) {
    const size_t head = std::min<size_t>(n, (4 - (offset & 3)) & 3);
    uint32_t sum = copy_and_sum_bytes(dst, src, head, offset);
    dst += head;
    src += head;
    n -= head;

    const size_t blocks = n / 16;
    sum += copy_and_sum_words(dst, src, blocks);
    dst += 16 * blocks;
    src += 16 * blocks;
    n -= 16 * blocks;

    for (; n >= 4; n -= 4, src += 4, dst += 4) {
        sum += nx::load_le32(src);
        std::memcpy(dst, src, 4);
    }
    return sum + copy_and_sum_bytes(dst, src, n, 0);
}

}  // namespace nx::stream
