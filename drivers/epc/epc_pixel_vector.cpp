// The pixel routines the decode runs: phase, amplitude and the measured flag
// of eight pixels per step in AVX2 lanes (chosen at run time; elsewhere the
// scalar reference does all of it), then each routine's own per-pixel step.
//
// The lanes compute exactly what the scalar reference computes: the same
// integer arithmetic, the same single-precision square-root steps in the same
// order (no fused multiply-add), and the arctangent from the same table,
// read per lane. Integer quotients are divided in single precision and
// corrected to the exact C++ quotient by their remainder.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "drivers/epc/epc_pixel.h"
#include "imgproc/atan2_lut_table.h"

#if defined(__x86_64__) && !defined(NIVEX_NO_SIMD_CLONES)
#include <immintrin.h>
#define NX_EPC_AVX2 1
#endif

namespace nx::epc {
namespace {

constexpr size_t kBlock = 256;
constexpr size_t kLanes = 16;  // pixels per step

// Phase, amplitude and measured flag of up to kBlock pixels.
struct Block {
    alignas(32) uint16_t phase[kBlock];
    alignas(32) uint16_t amplitude[kBlock];
    alignas(32) uint16_t measured[kBlock];  // 0xFFFF or 0
};

void samples_scalar(const uint8_t *raw, size_t n, size_t begin, size_t from, size_t to, Block &b) {
    for (size_t j = from; j < to; ++j) {
        const scalar::Sample s = scalar::sample(raw, n, begin + j);
        b.phase[j] = static_cast<uint16_t>(s.phase);
        b.amplitude[j] = s.amplitude;
        b.measured[j] = s.measured ? 0xFFFF : 0;
    }
}

#ifdef NX_EPC_AVX2

#define NX_AVX2 __attribute__((target("avx2")))
#define NX_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#define NX_AVX2_LAMBDA __attribute__((target("avx2"), always_inline))

// The arctangent table widened to 32-bit entries, so that a 32-bit read of
// one entry never reaches past the table's end.
const int32_t *wide_atan_table() {
    static const std::array<int32_t, ARCTAN2_LUT_NUM> table = [] {
        std::array<int32_t, ARCTAN2_LUT_NUM> t{};
        std::copy(std::begin(g_atan2_LUT), std::end(g_atan2_LUT), t.begin());
        return t;
    }();
    return table.data();
}

// Eight 32-bit table reads, one per lane, at byte offsets index * scale.
// Lane by lane: on the processors this runs on that is much faster than the
// gather instruction. The indices leave the register two at a time and the
// values go straight back into lanes; a round trip through memory would
// load a vector from eight just-written words, which stalls.
template <int Scale>
NX_AVX2_INLINE __m256i table_reads(const void *table, __m256i index) {
    const auto *base = static_cast<const char *>(table);
    const auto read = [base](int64_t at) NX_AVX2_LAMBDA {
        int32_t v;
        std::memcpy(&v, base + static_cast<int32_t>(at) * ptrdiff_t{Scale}, sizeof v);
        return v;
    };
    const auto half = [&read](__m128i at) NX_AVX2_LAMBDA {
        const int64_t a01 = _mm_cvtsi128_si64(at);
        const int64_t a23 = _mm_extract_epi64(at, 1);
        __m128i v = _mm_cvtsi32_si128(read(a01));
        v = _mm_insert_epi32(v, read(a01 >> 32), 1);
        v = _mm_insert_epi32(v, read(a23), 2);
        return _mm_insert_epi32(v, read(a23 >> 32), 3);
    };
    return _mm256_set_m128i(half(_mm256_extracti128_si256(index, 1)),
                            half(_mm256_castsi256_si128(index)));
}

NX_AVX2_INLINE __m256i select(__m256i mask, __m256i yes, __m256i no) {
    return _mm256_blendv_epi8(no, yes, mask);
}

// Truncation of sqrt(power): bit-pattern guess, two Heron steps.
NX_AVX2_INLINE __m256i root(__m256i power) {
    const __m256 x = _mm256_cvtepi32_ps(power);
    const __m256 half = _mm256_set1_ps(0.5f);
    __m256 g = _mm256_castsi256_ps(_mm256_add_epi32(_mm256_srli_epi32(_mm256_castps_si256(x), 1),
                                                    _mm256_set1_epi32(0x1FBFFB72)));
    const __m256 half_x = _mm256_mul_ps(half, x);
    g = _mm256_add_ps(_mm256_mul_ps(half, g), _mm256_div_ps(half_x, g));
    g = _mm256_add_ps(_mm256_mul_ps(half, g), _mm256_div_ps(half_x, g));
    return _mm256_cvttps_epi32(g);
}

// (atan2(y, x) in 1/30000 turns + 15000) mod 30000, as the table gives it,
// in two halves: the octant reduction to a table index and the angle the
// octant starts at, then the table read and the turn. A block runs them as
// two passes (see samples_avx2).
struct PhaseIndex {
    __m256i index, base;
};

NX_AVX2_INLINE PhaseIndex phase_index(__m256i y, __m256i x) {
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
    // Axis lanes: index 0 (the table's 0) on a base of 0 or half a turn.
    y = select(y_zero, zero, y);
    x = select(y_zero, one, x);
    base = select(y_zero, _mm256_and_si256(x_negative, _mm256_set1_epi32(kHalfTurn)), base);
    const __m256i num = _mm256_slli_epi32(y, 12);
    __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(x)));
    const __m256i rest = _mm256_sub_epi32(num, _mm256_mullo_epi32(q, x));
    q = _mm256_add_epi32(q, _mm256_cmpgt_epi32(zero, rest));                      // rest < 0
    q = _mm256_sub_epi32(q, _mm256_cmpgt_epi32(rest, _mm256_sub_epi32(x, one)));  // rest >= x
    q = _mm256_max_epi32(_mm256_min_epi32(q, _mm256_set1_epi32(ARCTAN2_LUT_NUM - 1)), zero);
    return {q, base};
}

NX_AVX2_INLINE __m256i phase_at(PhaseIndex p, const int32_t *table) {
    __m256i angle = _mm256_add_epi32(p.base, table_reads<4>(table, p.index));
    const __m256i turn = _mm256_set1_epi32(kPhaseTurn);
    const __m256i last = _mm256_set1_epi32(kPhaseTurn - 1);
    angle = _mm256_sub_epi32(angle, _mm256_and_si256(_mm256_cmpgt_epi32(angle, last), turn));
    angle = _mm256_add_epi32(angle, _mm256_set1_epi32(kHalfTurn));
    return _mm256_sub_epi32(angle, _mm256_and_si256(_mm256_cmpgt_epi32(angle, last), turn));
}

// Sixteen pixels from i on: their differences a = DCS2 - DCS0 and
// b = DCS3 - DCS1 interleaved as 32-bit pairs (a, b) (pixels 0-3 and 8-11 in
// `low`, 4-7 and 12-15 in `high`, the order packus restores), and the
// measured flag per pixel.
struct Front {
    __m256i low, high, measured;
};

NX_AVX2_INLINE Front front(const uint8_t *raw, size_t n, size_t i) {
    const __m256i mask = _mm256_set1_epi16(static_cast<int16_t>(kSampleMask));
    __m256i p[4];
    for (size_t k = 0; k < 4; ++k)
        p[k] = _mm256_and_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(raw + 2 * (k * n + i))), mask);
    const __m256i high =
        _mm256_max_epu16(_mm256_max_epu16(p[0], p[1]), _mm256_max_epu16(p[2], p[3]));
    const __m256i low =
        _mm256_min_epu16(_mm256_min_epu16(p[0], p[1]), _mm256_min_epu16(p[2], p[3]));
    Front f;
    f.measured = _mm256_andnot_si256(_mm256_cmpeq_epi16(low, _mm256_setzero_si256()),
                                     _mm256_cmpgt_epi16(_mm256_set1_epi16(kSampleMax), high));
    const __m256i a = _mm256_sub_epi16(p[2], p[0]);
    const __m256i b = _mm256_sub_epi16(p[3], p[1]);
    f.low = _mm256_unpacklo_epi16(a, b);
    f.high = _mm256_unpackhi_epi16(a, b);
    return f;
}

// Amplitudes of the pairs: sqrt((a^2 + b^2) / 4).
NX_AVX2_INLINE __m256i amplitudes(const Front &f) {
    const __m256i low = root(_mm256_srli_epi32(_mm256_madd_epi16(f.low, f.low), 2));
    const __m256i high = root(_mm256_srli_epi32(_mm256_madd_epi16(f.high, f.high), 2));
    return _mm256_packus_epi32(low, high);
}

NX_AVX2_INLINE PhaseIndex phase_index_of_pairs(__m256i pairs) {
    const __m256i a = _mm256_srai_epi32(_mm256_slli_epi32(pairs, 16), 16);
    const __m256i b = _mm256_srai_epi32(pairs, 16);
    return phase_index(b, a);
}

// Table indices and octant bases of a block's phases, lanes in the order of
// Front (packus puts them in pixel order).
struct PhaseIndices {
    alignas(32) int32_t index[kBlock];
    alignas(32) int32_t base[kBlock];

    NX_AVX2_INLINE void store(size_t at, PhaseIndex p) {
        _mm256_store_si256(reinterpret_cast<__m256i *>(index + at), p.index);
        _mm256_store_si256(reinterpret_cast<__m256i *>(base + at), p.base);
    }
    NX_AVX2_INLINE PhaseIndex load(size_t at) const {
        return {_mm256_load_si256(reinterpret_cast<const __m256i *>(index + at)),
                _mm256_load_si256(reinterpret_cast<const __m256i *>(base + at))};
    }
};

// Two passes over the block, each a chain of about half the latency of the
// whole (the division, then the table read), so that the processor keeps
// more pixels in flight.
NX_AVX2 void samples_avx2(const uint8_t *raw, size_t n, size_t begin, size_t count, Block &b) {
    PhaseIndices p;
    for (size_t j = 0; j + kLanes <= count; j += kLanes) {
        const Front f = front(raw, n, begin + j);
        p.store(j, phase_index_of_pairs(f.low));
        p.store(j + kLanes / 2, phase_index_of_pairs(f.high));
        _mm256_store_si256(reinterpret_cast<__m256i *>(b.amplitude + j), amplitudes(f));
        _mm256_store_si256(reinterpret_cast<__m256i *>(b.measured + j), f.measured);
    }
    const int32_t *table = wide_atan_table();
    for (size_t j = 0; j + kLanes <= count; j += kLanes) {
        const __m256i phases = _mm256_packus_epi32(phase_at(p.load(j), table),
                                                   phase_at(p.load(j + kLanes / 2), table));
        _mm256_store_si256(reinterpret_cast<__m256i *>(b.phase + j), phases);
    }
}

// Gray needs no phase: amplitudes of measured pixels straight into `out`.
NX_AVX2 size_t gray_avx2(const uint8_t *raw, size_t n, uint16_t *out) {
    size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const Front f = front(raw, n, i);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i),
                            _mm256_and_si256(amplitudes(f), f.measured));
    }
    return i;
}

// a / divisor, truncated toward zero as C++ divides, for |a| < 2^31: the
// single-precision quotient is within one of it, the remainder decides.
NX_AVX2_INLINE __m256i divide(__m256i a, int32_t divisor) {
    const __m256i d = _mm256_set1_epi32(divisor);
    const __m256i zero = _mm256_setzero_si256();
    __m256i q = _mm256_cvttps_epi32(
        _mm256_div_ps(_mm256_cvtepi32_ps(a), _mm256_set1_ps(static_cast<float>(divisor))));
    const __m256i rest = _mm256_sub_epi32(a, _mm256_mullo_epi32(q, d));
    const __m256i negative = _mm256_cmpgt_epi32(zero, a);
    const __m256i rest_negative = _mm256_cmpgt_epi32(zero, rest);
    const __m256i rest_positive = _mm256_cmpgt_epi32(rest, zero);
    // a >= 0: rest in [0, d); a < 0: rest in (-d, 0].
    const __m256i too_high = _mm256_andnot_si256(negative, rest_negative);
    const __m256i too_low_pos = _mm256_andnot_si256(
        negative, _mm256_cmpgt_epi32(rest, _mm256_sub_epi32(d, _mm256_set1_epi32(1))));
    const __m256i too_low_neg = _mm256_and_si256(negative, rest_positive);
    const __m256i too_high_neg = _mm256_and_si256(
        negative, _mm256_cmpgt_epi32(_mm256_sub_epi32(_mm256_set1_epi32(1), d), rest));
    q = _mm256_add_epi32(q, _mm256_or_si256(too_high, too_high_neg));  // -1 where set
    return _mm256_sub_epi32(q, _mm256_or_si256(too_low_pos, too_low_neg));
}

// A distance wrapped once into the range and held at its ends (see the
// scalar routines).
NX_AVX2_INLINE __m256i wrap_into_range(__m256i d, __m256i range) {
    const __m256i zero = _mm256_setzero_si256();
    d = _mm256_add_epi32(d, _mm256_and_si256(_mm256_cmpgt_epi32(zero, d), range));
    d = _mm256_sub_epi32(d, _mm256_and_si256(_mm256_cmpgt_epi32(d, range), range));
    return _mm256_max_epi32(_mm256_min_epi32(d, range), zero);
}

// The distance line of eight pixels (see scalar::linear_distance).
NX_AVX2_INLINE __m256i linear8(__m256i phase, const LinearCalib &c) {
    const __m256i range = _mm256_set1_epi32(static_cast<int32_t>(c.range_mm));
    const __m256i base = divide(_mm256_mullo_epi32(phase, range), kPhaseTurn);
    __m256i d = divide(_mm256_mullo_epi32(base, _mm256_set1_epi32(c.scale_permille)), 1000);
    return wrap_into_range(_mm256_add_epi32(d, _mm256_set1_epi32(c.add_mm)), range);
}

// Distances of sixteen pixels per step from distance8(phases of eight, index
// of the first of them in the block), with the marker where a pixel is not
// measured; amplitudes alongside (`amp_marker` where not measured).
template <class Distance8>
NX_AVX2_INLINE void finish_avx2(const Block &b, size_t count, uint16_t amp_marker, uint16_t *dist,
                                uint16_t *amp, Distance8 &&distance8) {
    const __m256i marker = _mm256_set1_epi16(static_cast<int16_t>(kNotMeasured));
    const __m256i amp_fill = _mm256_set1_epi16(static_cast<int16_t>(amp_marker));
    for (size_t j = 0; j + kLanes <= count; j += kLanes) {
        const __m256i phases = _mm256_load_si256(reinterpret_cast<const __m256i *>(b.phase + j));
        const __m256i low = distance8(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(phases)), j);
        const __m256i high =
            distance8(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(phases, 1)), j + kLanes / 2);
        // packus works per 128-bit half: put the halves back in order.
        const __m256i d = _mm256_permute4x64_epi64(_mm256_packus_epi32(low, high), 0xD8);
        const __m256i measured =
            _mm256_load_si256(reinterpret_cast<const __m256i *>(b.measured + j));
        const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i *>(b.amplitude + j));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dist + j),
                            _mm256_blendv_epi8(marker, d, measured));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(amp + j),
                            _mm256_blendv_epi8(amp_fill, a, measured));
    }
}

NX_AVX2 void linear_avx2(const Block &b, size_t count, const LinearCalib &c, uint16_t *dist,
                         uint16_t *amp) {
    finish_avx2(b, count, kNotMeasured, dist, amp,
                [&](__m256i phase, size_t) NX_AVX2_LAMBDA { return linear8(phase, c); });
}

// Phases and ranges whose product stays within 32 bits.
constexpr int32_t kSmallPhase = 65535;
constexpr uint32_t kSmallRange = 32768;

// trunc(j x range / 30000) wrapped into the range, four lanes in double
// precision (every product and quotient involved is exact there).
NX_AVX2_INLINE __m128i drnu_millimetres(__m128i j, double range) {
    const __m256d r = _mm256_set1_pd(range);
    __m256d d = _mm256_div_pd(_mm256_mul_pd(_mm256_cvtepi32_pd(j), r), _mm256_set1_pd(kPhaseTurn));
    d = _mm256_round_pd(d, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256d zero = _mm256_setzero_pd();
    d = _mm256_add_pd(d, _mm256_and_pd(_mm256_cmp_pd(d, zero, _CMP_LT_OQ), r));
    d = _mm256_sub_pd(d, _mm256_and_pd(_mm256_cmp_pd(d, r, _CMP_GT_OQ), r));
    return _mm256_cvttpd_epi32(_mm256_max_pd(_mm256_min_pd(d, r), zero));
}

// The per-pixel table distance (see scalar::drnu_distance) runs in two passes
// over a block: the first finds each pixel's table segment, the second
// interpolates in it. Each pass is a chain of about half the latency (two
// divisions and two table reads per segment search, one plus one per
// interpolation), so the processor keeps twice as many pixels in flight as
// with one pass doing both.
struct Segments {
    alignas(32) int32_t j[kBlock];       // phase less the temperature term
    alignas(32) int32_t seg[kBlock];     // table segment, 0 .. K-2
    alignas(32) int32_t rising[kBlock];  // -1 where the table rises, else 0
};

// `entry` holds the index of each lane's first table entry.
NX_AVX2_INLINE void drnu_segments8(__m256i phase, __m256i entry, const DrnuCalib &c, Segments &s,
                                   size_t at) {
    const auto *lut = reinterpret_cast<const int *>(c.lut);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i low16 = _mm256_set1_epi32(0xFFFF);
    const __m256i j =
        _mm256_cvttps_epi32(_mm256_sub_ps(_mm256_cvtepi32_ps(phase), _mm256_set1_ps(c.temp_term)));
    // Two entries per 32-bit read: the first (and second), the last two.
    const __m256i first = _mm256_and_si256(table_reads<2>(lut, entry), low16);
    const __m256i last = _mm256_srli_epi32(
        table_reads<2>(lut, _mm256_add_epi32(entry, _mm256_set1_epi32(c.k - 2))), 16);
    const __m256i rising = _mm256_cmpgt_epi32(last, first);
    const __m256i num = _mm256_mullo_epi32(_mm256_sub_epi32(j, first), _mm256_set1_epi32(c.k - 1));
    const __m256i den = select(rising, _mm256_sub_epi32(last, first), one);
    // Only segments 0 .. K-2 matter: a far quotient is held before it is
    // made exact.
    const __m256 quotient = _mm256_min_ps(
        _mm256_div_ps(_mm256_cvtepi32_ps(num), _mm256_cvtepi32_ps(den)), _mm256_set1_ps(64.0f));
    __m256i k = _mm256_cvttps_epi32(quotient);
    const __m256i rest = _mm256_sub_epi32(num, _mm256_mullo_epi32(k, den));
    k = _mm256_add_epi32(k, _mm256_cmpgt_epi32(zero, rest));
    k = _mm256_sub_epi32(k, _mm256_cmpgt_epi32(rest, _mm256_sub_epi32(den, one)));
    const __m256i seg = _mm256_max_epi32(_mm256_min_epi32(k, _mm256_set1_epi32(c.k - 2)), zero);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.j + at), j);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.seg + at), seg);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.rising + at), rising);
}

NX_AVX2_INLINE __m256i drnu_interpolate8(__m256i entry, const DrnuCalib &c, const Segments &s,
                                         size_t at) {
    const auto *lut = reinterpret_cast<const int *>(c.lut);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const float int_limit = 1073741824.0f;
    __m256i j = _mm256_load_si256(reinterpret_cast<const __m256i *>(s.j + at));
    const __m256i seg = _mm256_load_si256(reinterpret_cast<const __m256i *>(s.seg + at));
    const __m256i rising = _mm256_load_si256(reinterpret_cast<const __m256i *>(s.rising + at));
    const __m256i pair = table_reads<2>(lut, _mm256_add_epi32(entry, seg));
    const __m256i lo = _mm256_and_si256(pair, _mm256_set1_epi32(0xFFFF));
    const __m256i diff = _mm256_sub_epi32(_mm256_srli_epi32(pair, 16), lo);
    const __m256i flat = _mm256_cmpeq_epi32(diff, zero);
    const __m256 step = _mm256_set1_ps(c.step_phase);
    const __m256 base = _mm256_mul_ps(_mm256_cvtepi32_ps(seg), step);
    __m256 t = _mm256_add_ps(
        _mm256_div_ps(_mm256_mul_ps(step, _mm256_cvtepi32_ps(_mm256_sub_epi32(j, lo))),
                      _mm256_cvtepi32_ps(select(flat, one, diff))),
        base);
    t = _mm256_blendv_ps(t, base, _mm256_castsi256_ps(flat));
    t = _mm256_max_ps(_mm256_min_ps(t, _mm256_set1_ps(int_limit)), _mm256_set1_ps(-int_limit));
    const __m256i interpolated =
        _mm256_add_epi32(_mm256_cvttps_epi32(t), _mm256_set1_epi32(c.offset_phase));
    j = select(rising, interpolated, j);
    // Small products divide in single precision (exactly, see divide());
    // the rest in double precision.
    const __m256i limit = _mm256_set1_epi32(kSmallPhase);
    const __m256i big = _mm256_or_si256(_mm256_cmpgt_epi32(j, limit),
                                        _mm256_cmpgt_epi32(_mm256_sub_epi32(zero, limit), j));
    if (c.range_mm < kSmallRange && _mm256_testz_si256(big, big)) {
        const __m256i range = _mm256_set1_epi32(static_cast<int32_t>(c.range_mm));
        return wrap_into_range(divide(_mm256_mullo_epi32(j, range), kPhaseTurn), range);
    }
    const auto range = static_cast<double>(c.range_mm);
    return _mm256_set_m128i(drnu_millimetres(_mm256_extracti128_si256(j, 1), range),
                            drnu_millimetres(_mm256_castsi256_si128(j), range));
}

NX_AVX2 void drnu_avx2(const Block &b, size_t begin, size_t count, const DrnuCalib &c,
                       uint16_t *dist, uint16_t *amp) {
    const __m256i lane_entries =
        _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(c.k));
    const auto entries = [&](size_t j) NX_AVX2_LAMBDA {
        const auto first = static_cast<int32_t>((begin + j) * static_cast<size_t>(c.k));
        return _mm256_add_epi32(_mm256_set1_epi32(first), lane_entries);
    };
    Segments s;
    for (size_t j = 0; j + 8 <= count; j += 8) {
        const __m128i phases = _mm_load_si128(reinterpret_cast<const __m128i *>(b.phase + j));
        drnu_segments8(_mm256_cvtepu16_epi32(phases), entries(j), c, s, j);
    }
    finish_avx2(b, count, 0, dist, amp, [&](__m256i, size_t j) NX_AVX2_LAMBDA {
        return drnu_interpolate8(entries(j), c, s, j);
    });
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
    size_t done = 0;
#ifdef NX_EPC_AVX2
    if (has_avx2()) done = gray_avx2(raw, n, out);
#endif
    for (size_t i = done; i < n; ++i) {
        const scalar::Sample s = scalar::sample(raw, n, i);
        out[i] = s.measured ? s.amplitude : 0;
    }
}

// The lanes take the line when no product can leave 32 bits.
bool linear_fits_lanes(const LinearCalib &c) {
    constexpr int64_t kLimit = int64_t{1} << 30;
    const int64_t range = c.range_mm;
    return range * kPhaseTurn < kLimit * 2 &&
           range * std::abs(int64_t{c.scale_permille}) < kLimit &&
           std::abs(int64_t{c.add_mm}) < kLimit;
}

void distance_linear(const uint8_t *raw, size_t n, const LinearCalib &calib, uint16_t *dist,
                     uint16_t *amp) {
    [[maybe_unused]] bool lanes = false;
#ifdef NX_EPC_AVX2
    lanes = has_avx2() && linear_fits_lanes(calib);
#endif
    for_blocks(raw, n, [&](const Block &b, size_t begin, size_t count) {
        size_t from = 0;
#ifdef NX_EPC_AVX2
        if (lanes) {
            from = count - count % kLanes;
            linear_avx2(b, from, calib, dist + begin, amp + begin);
        }
#endif
        for (size_t j = from; j < count; ++j) {
            const bool measured = b.measured[j] != 0;
            dist[begin + j] = measured ? scalar::linear_distance(b.phase[j], calib) : kNotMeasured;
            amp[begin + j] = measured ? b.amplitude[j] : kNotMeasured;
        }
    });
}

void distance_drnu(const uint8_t *raw, size_t n, const DrnuCalib &calib, uint16_t *dist,
                   uint16_t *amp) {
    const auto k = static_cast<size_t>(calib.k);
    [[maybe_unused]] bool lanes = false;
#ifdef NX_EPC_AVX2
    // Table indices travel as 32-bit lanes.
    lanes = has_avx2() && n * k < size_t{INT32_MAX} / 2;
#endif
    for_blocks(raw, n, [&](const Block &b, size_t begin, size_t count) {
        size_t from = 0;
#ifdef NX_EPC_AVX2
        if (lanes) {
            from = count - count % kLanes;
            drnu_avx2(b, begin, from, calib, dist + begin, amp + begin);
        }
#endif
        for (size_t j = from; j < count; ++j) {
            const size_t i = begin + j;
            const bool measured = b.measured[j] != 0;
            dist[i] = measured ? scalar::drnu_distance(b.phase[j], calib.lut + i * k, calib)
                               : kNotMeasured;
            amp[i] = measured ? b.amplitude[j] : 0;
        }
    });
}

}  // namespace nx::epc
