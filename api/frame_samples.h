// Samples of the frame files: floats to the stored sample types and back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/frame_file_format.h"

namespace nx {

// Floats to little-endian samples: F32 as they are; the integer types take
// value * scale truncated toward zero and keep its low bits (a value that is
// no number stores 0; values beyond 64 bits store the ends of that range).
void encode_samples(SampleType type, float scale, const float *src, size_t n, uint8_t *out);
// Little-endian samples to floats: F32 as they are; the integer types divided
// by `divisor` (1000 turns millimetres into metres, 1 keeps gray values).
void decode_samples(SampleType type, float divisor, const uint8_t *in, size_t n, float *out);

}  // namespace nx
