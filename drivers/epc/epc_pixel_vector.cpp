// The pixel routines the decode runs: phase, amplitude and the measured flag
// of eight pixels per step in AVX2 lanes (chosen at run time; elsewhere the
// scalar reference does all of it), then each routine's own per-pixel step.
//
// The lanes compute exactly what the scalar reference computes: the same
// integer arithmetic, the same single-precision square-root steps in the same
// order (no fused multiply-add), and the arctangent from the same table,
// gathered per lane. The table index (y * 4096) / x is divided in single
// precision and corrected to the exact integer quotient.
#include <algorithm>
#include <array>

#include "drivers/epc/epc_pixel.h"
#include "imgproc/atan2_lut_table.h"

#if defined(__x86_64__) && !defined(NIVEX_NO_SIMD_CLONES)
#include <immintrin.h>
#define NX_EPC_AVX2 1
#endif

namespace nx::epc {
namespace {

constexpr size_t kBlock = 256;
constexpr size_t kLanes = 8;

// Phase, amplitude and measured flag of up to kBlock pixels.
struct Block {
    alignas(32) int32_t phase[kBlock];
    alignas(32) int32_t amplitude[kBlock];
    alignas(32) int32_t measured[kBlock];  // -1 or 0
};

void samples_scalar(const uint8_t *raw, size_t n, size_t begin, size_t from, size_t to, Block &b) {
    for (size_t j = from; j < to; ++j) {
        const scalar::Sample s = scalar::sample(raw, n, begin + j);
        b.phase[j] = s.phase;
        b.amplitude[j] = s.amplitude;
        b.measured[j] = s.measured ? -1 : 0;
    }
}

#ifdef NX_EPC_AVX2

#define NX_AVX2 __attribute__((target("avx2")))
#define NX_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The arctangent table widened to 32-bit entries, so that a gather of one
// entry never reads past the table's end.
const int32_t *wide_atan_table() {
    static const std::array<int32_t, ARCTAN2_LUT_NUM> table = [] {
        std::array<int32_t, ARCTAN2_LUT_NUM> t{};
        std::copy(std::begin(g_atan2_LUT), std::end(g_atan2_LUT), t.begin());
        return t;
    }();
    return table.data();
}

NX_AVX2_INLINE __m256i load_samples(const uint8_t *raw, size_t word) {
    const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i *>(raw + 2 * word));
    return _mm256_and_si256(_mm256_cvtepu16_epi32(words), _mm256_set1_epi32(kSampleMask));
}

NX_AVX2_INLINE __m256i select(__m256i mask, __m256i yes, __m256i no) {
    return _mm256_blendv_epi8(no, yes, mask);
}

// Truncation of sqrt((a^2 + b^2) / 4): bit-pattern guess, two Heron steps.
NX_AVX2_INLINE __m256i amplitude(__m256i a, __m256i b) {
    const __m256i power =
        _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(a, a), _mm256_mullo_epi32(b, b)), 2);
    const __m256 x = _mm256_cvtepi32_ps(power);
    const __m256 half = _mm256_set1_ps(0.5f);
    __m256 g = _mm256_castsi256_ps(_mm256_add_epi32(_mm256_srli_epi32(_mm256_castps_si256(x), 1),
                                                    _mm256_set1_epi32(0x1FBFFB72)));
    const __m256 half_x = _mm256_mul_ps(half, x);
    g = _mm256_add_ps(_mm256_mul_ps(half, g), _mm256_div_ps(half_x, g));
    g = _mm256_add_ps(_mm256_mul_ps(half, g), _mm256_div_ps(half_x, g));
    return _mm256_cvttps_epi32(g);
}

// (atan2(y, x) in 1/30000 turns + 15000) mod 30000, as the table gives it.
NX_AVX2_INLINE __m256i phase(__m256i y, __m256i x, const int32_t *table) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i y_zero = _mm256_cmpeq_epi32(y, zero);
    const __m256i x_negative = _mm256_cmpgt_epi32(zero, x);
    // Lower half-plane: turn by half a period.
    const __m256i y_negative = _mm256_cmpgt_epi32(zero, y);
    y = select(y_negative, _mm256_sub_epi32(zero, y), y);
    x = select(y_negative, _mm256_sub_epi32(zero, x), x);
    __m256i base = _mm256_and_si256(y_negative, _mm256_set1_epi32(kHalfTurn));
    // Left quadrant: turn by a quarter.
    const __m256i x_not_positive = _mm256_cmpgt_epi32(one, x);
    base = _mm256_add_epi32(base, _mm256_and_si256(x_not_positive, _mm256_set1_epi32(7500)));
    __m256i turned_y = select(x_not_positive, _mm256_sub_epi32(zero, x), y);
    x = select(x_not_positive, y, x);
    y = turned_y;
    // Upper octant: turn by an eighth.
    const __m256i steep = _mm256_cmpgt_epi32(y, _mm256_sub_epi32(x, one));
    base = _mm256_add_epi32(base, _mm256_and_si256(steep, _mm256_set1_epi32(3750)));
    turned_y = select(steep, _mm256_sub_epi32(y, x), y);
    x = select(steep, _mm256_add_epi32(turned_y, _mm256_add_epi32(x, x)), x);
    y = turned_y;
    // Axis lanes divide 0 by 1.
    y = select(y_zero, zero, y);
    x = select(y_zero, one, x);
    const __m256i num = _mm256_slli_epi32(y, 12);
    __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(x)));
    const __m256i rest = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, x));
    q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero, rest));                      // rest < 0
    q = _mm256_sub_epi32(q, _mm256_cmpgt_epi32(rest, _mm256_sub_epi32(x, one)));  // rest >= x
    q = _mm256_max_epi32(_mm256_min_epi32(q, _mm256_set1_epi32(ARCTAN2_LUT_NUM - 1)), zero);
    __m256i angle = _mm256_add_epi32(base, _mm256_i32gather_epi32(table, q, 4));
    const __m256i turn = _mm256_set1_epi32(kPhaseTurn);
    const __m256i last = _mm256_set1_epi32(kPhaseTurn - 1);
    angle = _mm256_sub_epi32(angle, _mm256_and_si256(_mm256_cmpgt_epi32(angle, last), turn));
    angle = select(y_zero, _mm256_and_si256(x_negative, _mm256_set1_epi32(kHalfTurn)), angle);
    angle = _mm256_add_epi32(angle, _mm256_set1_epi32(kHalfTurn));
    return _mm256_sub_epi32(angle, _mm256_and_si256(_mm256_cmpgt_epi32(angle, last), turn));
}

NX_AVX2 void samples_avx2(const uint8_t *raw, size_t n, size_t begin, size_t count, Block &b) {
    const int32_t *table = wide_atan_table();
    const __m256i zero = _mm256_setzero_si256();
    const __m256i full = _mm256_set1_epi32(kSampleMax);
    for (size_t j = 0; j + kLanes <= count; j += kLanes) {
        const size_t i = begin + j;
        const __m256i p0 = load_samples(raw, i);
        const __m256i p1 = load_samples(raw, n + i);
        const __m256i p2 = load_samples(raw, 2 * n + i);
        const __m256i p3 = load_samples(raw, 3 * n + i);
        const __m256i high = _mm256_max_epi32(_mm256_max_epi32(p0, p1), _mm256_max_epi32(p2, p3));
        const __m256i low = _mm256_min_epi32(_mm256_min_epi32(p0, p1), _mm256_min_epi32(p2, p3));
        const __m256i measured =
            _mm256_andnot_si256(_mm256_cmpeq_epi32(low, zero), _mm256_cmpgt_epi32(full, high));
        const __m256i a = _mm256_sub_epi32(p2, p0);
        const __m256i bb = _mm256_sub_epi32(p3, p1);
        _mm256_store_si256(reinterpret_cast<__m256i *>(b.amplitude + j), amplitude(a, bb));
        _mm256_store_si256(reinterpret_cast<__m256i *>(b.phase + j), phase(bb, a, table));
        _mm256_store_si256(reinterpret_cast<__m256i *>(b.measured + j), measured);
    }
}

bool has_avx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

#endif

// Phase, amplitude and flag of pixels [begin, begin + count).
void samples(const uint8_t *raw, size_t n, size_t begin, size_t count, Block &b) {
    size_t done = 0;
#ifdef NX_EPC_AVX2
    if (has_avx2()) {
        done = count - count % kLanes;
        samples_avx2(raw, n, begin, done, b);
    }
#endif
    samples_scalar(raw, n, begin, done, count, b);
}

// Runs `finish(b, begin, count)` over the frame in blocks.
template <class Finish>
void for_blocks(const uint8_t *raw, size_t n, Finish &&finish) {
    Block b;
    for (size_t begin = 0; begin < n; begin += kBlock) {
        const size_t count = std::min(kBlock, n - begin);
        samples(raw, n, begin, count, b);
        finish(b, begin, count);
    }
}

}  // namespace

void gray(const uint8_t *raw, size_t n, uint16_t *out) {
    for_blocks(raw, n, [&](const Block &b, size_t begin, size_t count) {
        for (size_t j = 0; j < count; ++j)
            out[begin + j] = static_cast<uint16_t>(b.amplitude[j] & b.measured[j]);
    });
}

void distance_linear(const uint8_t *raw, size_t n, const LinearCalib &calib, uint16_t *dist,
                     uint16_t *amp) {
    for_blocks(raw, n, [&](const Block &b, size_t begin, size_t count) {
        for (size_t j = 0; j < count; ++j) {
            const bool measured = b.measured[j] != 0;
            dist[begin + j] = measured ? scalar::linear_distance(b.phase[j], calib) : kNotMeasured;
            amp[begin + j] = measured ? static_cast<uint16_t>(b.amplitude[j]) : kNotMeasured;
        }
    });
}

void distance_drnu(const uint8_t *raw, size_t n, const DrnuCalib &calib, uint16_t *dist,
                   uint16_t *amp) {
    const auto k = static_cast<size_t>(calib.k);
    for_blocks(raw, n, [&](const Block &b, size_t begin, size_t count) {
        for (size_t j = 0; j < count; ++j) {
            const size_t i = begin + j;
            const bool measured = b.measured[j] != 0;
            dist[i] = measured ? scalar::drnu_distance(b.phase[j], calib.lut + i * k, calib)
                               : kNotMeasured;
            amp[i] = measured ? static_cast<uint16_t>(b.amplitude[j]) : 0;
        }
    });
}

}  // namespace nx::epc
