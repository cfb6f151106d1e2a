// The conversions run over whole frames, eight samples at a time where the
// processor allows. A group with a value whose scaled integer does not fit
// 32 bits (or is no number) is converted by the exact scalar rule instead,
// so results never depend on the path.
#include "api/frame_samples.h"

#include <bit>
#include <cstring>

#include "api/float_to_int.h"
#include "common/byte_order.h"
#include "imgproc/simd.h"

namespace nx {

namespace {

using nx::simd::f32x8;
using nx::simd::i32x8;
typedef uint32_t u32x8 __attribute__((vector_size(32)));
typedef uint8_t u8x8 __attribute__((vector_size(8)));

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

void encode_scalar(SampleType type, float scale, const float *src, size_t begin, size_t end,
                   uint8_t *out) {
    for (size_t i = begin; i < end; ++i) {
        if (type == SampleType::kF32) {
            store_le32(out + 4 * i, std::bit_cast<uint32_t>(src[i]));
            continue;
        }
        const int64_t v = trunc_to_i64(src[i] * scale);
        if (type == SampleType::kU32)
            store_le32(out + 4 * i, static_cast<uint32_t>(v));
        else if (type == SampleType::kU16)
            store_le16(out + 2 * i, static_cast<uint16_t>(v));
        else
            out[i] = static_cast<uint8_t>(v);
    }
}

// Integer samples, eight at a time; the lanes whose scaled value does not
// fit 32 bits (or is no number) are marked in `misfit`.
template <class Lanes>
NX_INLINE void encode8(float scale, const float *src, uint8_t *out, i32x8 &misfit) {
    f32x8 p = nx::simd::load<f32x8>(src) * scale;
    const i32x8 fits = (p >= -2147483648.0f) & (p < 2147483648.0f);
    misfit |= ~fits;
    p = fits ? p : 0.0f;
    const i32x8 v = __builtin_convertvector(p, i32x8);
    nx::simd::store(out, __builtin_convertvector(u32x8(v), Lanes));
}

// Groups of this many samples are converted in vector form, and converted
// again by the scalar rule when one of them did not fit.
constexpr size_t kGroup = 256;

template <class Lanes>
NX_INLINE void encode_group(float scale, const float *src, size_t n, uint8_t *out,
                            SampleType type) {
    constexpr size_t kBytes = sizeof(Lanes) / 8;
    size_t i = 0;
    for (; i + kGroup <= n; i += kGroup) {
        i32x8 misfit = {};
        for (size_t j = i; j < i + kGroup; j += 8)
            encode8<Lanes>(scale, src + j, out + kBytes * j, misfit);
        bool any = false;
        for (int k = 0; k < 8; ++k)
            any = any || misfit[k] != 0;
        if (any) encode_scalar(type, scale, src, i, i + kGroup, out);
    }
    encode_scalar(type, scale, src, i, n, out);
}

NX_SIMD_CLONES
void encode_vector(SampleType type, float scale, const float *src, size_t n, uint8_t *out) {
    switch (type) {
        case SampleType::kU32:
            return encode_group<u32x8>(scale, src, n, out, type);
        case SampleType::kU16:
            return encode_group<nx::simd::u16x8>(scale, src, n, out, type);
        default:
            return encode_group<u8x8>(scale, src, n, out, type);
    }
}

void decode_scalar(SampleType type, float divisor, const uint8_t *in, size_t begin, size_t end,
                   float *out) {
    for (size_t i = begin; i < end; ++i) {
        switch (type) {
            case SampleType::kF32:
                out[i] = std::bit_cast<float>(load_le32(in + 4 * i));
                break;
            case SampleType::kU32:
                out[i] = static_cast<float>(load_le32(in + 4 * i)) / divisor;
                break;
            case SampleType::kU16:
                out[i] = static_cast<float>(load_le16(in + 2 * i)) / divisor;
                break;
            default:
                out[i] = static_cast<float>(in[i]) / divisor;
                break;
        }
    }
}

template <class Lanes>
NX_INLINE void decode8(float divisor, const uint8_t *in, float *out) {
    const Lanes v = nx::simd::load<Lanes>(in);
    nx::simd::store(out, __builtin_convertvector(v, f32x8) / divisor);
}

NX_SIMD_CLONES
void decode_vector(SampleType type, float divisor, const uint8_t *in, size_t n, float *out) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        switch (type) {
            case SampleType::kU32:
                decode8<u32x8>(divisor, in + 4 * i, out + i);
                break;
            case SampleType::kU16:
                decode8<nx::simd::u16x8>(divisor, in + 2 * i, out + i);
                break;
            default:
                decode8<u8x8>(divisor, in + i, out + i);
                break;
        }
    }
    decode_scalar(type, divisor, in, i, n, out);
}

}  // namespace

void encode_samples(SampleType type, float scale, const float *src, size_t n, uint8_t *out) {
    if (!kLittleEndian) return encode_scalar(type, scale, src, 0, n, out);
    if (type == SampleType::kF32) return static_cast<void>(std::memcpy(out, src, 4 * n));
    encode_vector(type, scale, src, n, out);
}

void decode_samples(SampleType type, float divisor, const uint8_t *in, size_t n, float *out) {
    if (!kLittleEndian) return decode_scalar(type, divisor, in, 0, n, out);
    if (type == SampleType::kF32) return static_cast<void>(std::memcpy(out, in, 4 * n));
    decode_vector(type, divisor, in, n, out);
}

}  // namespace nx
