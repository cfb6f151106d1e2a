// DRNU calibration data of one sensor: the conditions of the factory
// calibration (parameter file) and the per-pixel lookup tables built from
// the distance-images file.
//
// Published data is immutable: a load builds new objects and swaps them in,
// so a reader holding a snapshot never sees a half-written table, and a
// failed load leaves the previous content as it was.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nx::sensor {

inline constexpr int kBankPixels = 82656;  // 328 x 252
inline constexpr int kMaxDistances = 30;
inline constexpr int kMaxWidth = 328;
inline constexpr int kMaxHeight = 252;
inline constexpr int kBankCount = 2;
inline constexpr int kFirstDistanceMm = 295;  // true distance of image 0
// Every DRNU file name ends so, whatever the modulation frequency.
inline constexpr const char kDrnuNameSuffix[] = "_10.bin";
inline constexpr size_t kDrnuNameSuffixLength = sizeof kDrnuNameSuffix - 1;

// Conditions of one calibration set, as the parameter file gives them.
struct DrnuParams {
    int32_t offset_drnu = 0;  // phase offset
    int32_t temp_cal = 0;     // sensor temperature, 0.1 degC
    double step_cal_mm = 0;   // distance between two calibration distances
    int32_t temp_cal_ib = 0;  // illumination-board temperature, 0.1 degC
};

// One lookup-table bank: per pixel, in the sensor's readout row order, the
// phases of the K calibration images (entry k = image k), and the largest and
// smallest of them.
struct DrnuBank {
    int width = 0;
    int height = 0;
    int num_distances = 0;
    std::vector<uint16_t> lut;  // width x height x num_distances words
    std::vector<uint16_t> max;  // width x height
    std::vector<uint16_t> min;  // width x height
};

// Everything the calibration files gave, as one snapshot.
struct Calibration {
    std::array<DrnuParams, 2> sets{};  // entry 0 and 1; a load fills both alike
    int selected = 0;                  // the entry the accessors report
    int32_t default_offset_phase = 0;
    int calib_freq_khz = 12000;  // frequency the calibration was measured at
    std::array<std::shared_ptr<const DrnuBank>, kBankCount> banks{};
    int loaded_bank = -1;  // the bank the last successful images load filled
    // Distance scale (per mille) and offset (mm) from the distance images;
    // 0/0 while none could be derived.
    int32_t scale_permille = 0;
    int32_t offset_mm = 0;

    const DrnuParams &params() const { return sets[static_cast<size_t>(selected)]; }
};

}  // namespace nx::sensor
