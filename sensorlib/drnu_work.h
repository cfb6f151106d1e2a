// Working state of the DRNU calibration procedure: the sensor's delay line is
// stepped, one averaged phase image is measured per step, and the images,
// temperatures and the step that fits them best become the DRNU files.
//
// One record per sensor model. Thread contract: every step of the procedure
// runs with `mu` held (the whole procedure holds it once), so a second
// procedure or a file step from another thread waits for the running one.
// `mu` is taken before the model's own locks, never while one is held.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sensorlib/drnu_data.h"

namespace nx::sensor {

class SensorModel;

inline constexpr int kMaxSweeps = 10;  // a sweep that never settles ends after these
inline constexpr int kResidualPlaneEntries = kMaxWidth * kMaxHeight;

// The files the procedure writes, named after the chip and the modulation
// frequency.
enum class CreationFile {
    kDistanceImages,
    kParamsText,
    kSensorTemperatures,
    kBoardTemperatures,
};

struct DrnuWork {
    std::mutex mu;

    double delay_cal_ns = 1.8;  // one delay step at the reference temperature
    int32_t temp_cal = 0;       // mean sensor temperature of the sweep, 0.1 degC
    int32_t ib_temp_cal = 0;    // mean board temperature of the sweep
    double step_cal_mm = 0;     // distance of one delay step
    int32_t offset_drnu = 0;    // mean phase of image 0
    std::array<int16_t, kMaxDistances> temperature{};
    std::array<int16_t, kMaxDistances> ib_temperature{};

    // Geometry of the tables below; 0 until a step was measured.
    int width = 0;
    int height = 0;
    int distances = 0;
    // Per bank K images of width x height phases, image row order.
    std::array<std::vector<uint16_t>, kBankCount> images;
    std::vector<int32_t> previous_phase;  // per pixel, the last step's mean
    // K planes of kMaxHeight rows of kMaxWidth entries; width x height used.
    std::vector<int32_t> residual;

    size_t pixels() const { return static_cast<size_t>(width) * static_cast<size_t>(height); }
    bool holds_images(int bank) const {
        return distances > 0 && !images[static_cast<size_t>(bank)].empty();
    }

    // Files that could not be written since the procedure began.
    int write_failures = 0;

    // Frames per step (set by the application, or by tests) and the pause
    // before each frame (tests only); negative values leave the calculation
    // constants in charge.
    int frames_override = -1;
    int delay_us_override = -1;
};

// Sets the test knobs of the current record's procedure.
void set_drnu_timing(SensorModel &model, int averaged_frames, int delay_us);

// "<kind>_W<wafer>_C<chip><suffix>", the IDs with at least three digits.
std::string chip_file_name(const char *kind, int wafer_id, int chip_id, const char *suffix);

}  // namespace nx::sensor
