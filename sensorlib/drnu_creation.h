// The steps of the DRNU calibration procedure (see drnu_work.h for its state
// and thread contract). Functions named *_locked run with the record's
// DrnuWork::mu held; the others take it themselves.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "nivex_sensorlib.h"
#include "sensorlib/sensor_model.h"

namespace nx::sensor {

inline constexpr int kTemperatureReadings = 5;  // four sensor readings, then the board
inline constexpr int32_t kPhasePeriod = 30000;
inline constexpr int kReferenceTemp = 270;                // 27.0 degC
inline constexpr double kDelayTempCoefNs = 0.000395;      // per 0.1 degC
inline constexpr double kDelayLsbFactor = 450000.0 * 10;  // delay ns x f kHz / S -> phase
// The chip's delay calibration (register 0xE9): one step lasts 1.8 ns plus
// 3 ps per code above 128.
inline constexpr int kRegDelayCode = 0xE9;
inline constexpr double kNominalDelayNs = 1.8;
inline constexpr double kDelayPerCodeNs = 0.003;
inline constexpr int kMiddleCode = 128;

// Half the speed of light in mm x kHz, as the calculation constants hold it.
double speed_div2(const SensorModel &model);
// The distance-images bank the procedure works on: 1 at frequency setting 2.
int active_bank(const SensorModel &model);
// Path in the data folder of one of the procedure's files, tagged with the
// current modulation frequency.
std::string creation_path(const SensorModel &model, CreationFile file);
// Path in the data folder of the package of this chip.
std::string package_path(const SensorModel &model);

// One phase image of the current device, image row order, 0..29999 per pixel
// (65500 where a sample saturated or was empty, 65300 below the minimum
// amplitude): the next frame of the running capture, or of a capture
// started and stopped around it. width x height must match the frame.
int phase_image(SensorModel &model, std::span<uint16_t> out, int width, int height);
// The five temperature readings of parameter 15.
bool read_temperatures(SensorModel &model, std::array<int16_t, kTemperatureReadings> &out);

// Procedure steps.
int create_step_locked(SensorModel &model, DrnuWork &work, int step, int frames);
int test_step_locked(SensorModel &model, DrnuWork &work);
int save_distance_images_locked(SensorModel &model, DrnuWork &work);
int save_temperatures_locked(SensorModel &model, DrnuWork &work);
int load_temperatures_locked(SensorModel &model, DrnuWork &work);
int from_file_locked(SensorModel &model, DrnuWork &work, int step10);
float step_quality_locked(SensorModel &model, DrnuWork &work, int step10, int bank);
int auto_renew_locked(SensorModel &model, DrnuWork &work);
int save_lut_locked(SensorModel &model, DrnuWork &work);
int construct_package_locked(SensorModel &model, DrnuWork &work);
// The whole procedure.
int calibrate_drnu(SensorModel &model);
// The hook told of every measured step (null: none).
void set_progress_callback(calibration_progress_fn fn);
// Frames averaged per delay step from now on (the calculation constant until set).
void set_averaged_frames(SensorModel &model, int frames);

}  // namespace nx::sensor
