// Per-pixel arithmetic of the EPC decode: phase and amplitude from the four
// phase samples, and the three ways of turning phase into millimetres.
//
// A raw frame of n pixels is four planes of n little-endian 16-bit words
// (DCS0 first); only the low 12 bits are the sample. The routines here work on
// pixels [0, n) in readout order and write one 16-bit value per pixel. Each
// has a scalar reference form (epc_pixel_scalar.cpp) and the form the decode
// runs (epc_pixel_vector.cpp), which processes several pixels per step and
// must give bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::epc {

inline constexpr int32_t kPhaseTurn = 30000;  // phase units per modulation period
inline constexpr int32_t kHalfTurn = 15000;
inline constexpr uint16_t kSampleMask = 0x0FFF;
inline constexpr uint16_t kSampleMax = 4095;  // a saturated sample
inline constexpr uint16_t kNotMeasured = 65500;

// The phase-to-distance line of the simple and the uncalibrated routines:
// d = (phase x range / 30000) x scale / 1000 + add, wrapped into the range.
struct LinearCalib {
    uint32_t range_mm = 0;
    int32_t scale_permille = 1000;
    int32_t add_mm = 0;
};

// The per-pixel routine: each pixel's K phases at the calibration distances
// (first at drnu_offset_phase, then one step_phase apart).
struct DrnuCalib {
    uint32_t range_mm = 0;
    float temp_term = 0;            // phase units the temperatures shift a pixel by
    float step_phase = 0;           // calibration step in phase units
    int32_t offset_phase = 0;       // first calibration distance in phase units
    const uint16_t *lut = nullptr;  // n x k words, pixel after pixel
    int k = 0;                      // at least 2
};

// Scalar reference forms.
namespace scalar {
void gray(const uint8_t *raw, size_t n, uint16_t *gray);
void distance_linear(const uint8_t *raw, size_t n, const LinearCalib &calib, uint16_t *dist,
                     uint16_t *amp);
void distance_drnu(const uint8_t *raw, size_t n, const DrnuCalib &calib, uint16_t *dist,
                   uint16_t *amp);
}  // namespace scalar

// The forms the decode runs.
void gray(const uint8_t *raw, size_t n, uint16_t *gray);
void distance_linear(const uint8_t *raw, size_t n, const LinearCalib &calib, uint16_t *dist,
                     uint16_t *amp);
void distance_drnu(const uint8_t *raw, size_t n, const DrnuCalib &calib, uint16_t *dist,
                   uint16_t *amp);

// Pieces of the scalar arithmetic that the vector forms share for their
// leftover pixels.
namespace scalar {

struct Sample {
    bool measured = false;
    uint16_t amplitude = 0;
    int32_t phase = 0;  // 0 .. 29999
};

Sample sample(const uint8_t *raw, size_t n, size_t i);
uint16_t linear_distance(int32_t phase, const LinearCalib &calib);
uint16_t drnu_distance(int32_t phase, const uint16_t *entries, const DrnuCalib &calib);

}  // namespace scalar

}  // namespace nx::epc
