// The DRNU parameter file: the conditions of the factory calibration
// (modulation frequency, phase offset, temperatures, distance step), in one
// of three little-endian layouts told apart by their length.
#include <algorithm>
#include <bit>
#include <cmath>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "sensorlib/data_file.h"
#include "sensorlib/sensor_model.h"

namespace nx::sensor {
namespace {

constexpr const char *kFn = "calibrationLoadDRNU_LUT";
constexpr size_t kWithFrequency = 24;   // u32 kHz, then the 20-byte layout
constexpr size_t kWithBoardTemp = 20;   // i32, i32, f64, i32
constexpr size_t kSensorTempOnly = 16;  // i32, i32, f64
constexpr int kAssumedFrequencyKhz = 12000;
constexpr double kSpeedOfLightDiv2 = 149896229.0;  // m/s
constexpr double kMaxStepMm = 1000000.0;

// Used when the file is missing (or unusable).
constexpr DrnuParams kBuiltIn = {8364, 361, 298.2, 341};

int32_t load_i32(const uint8_t *p) {
    return static_cast<int32_t>(nx::load_le32(p));
}

double load_f64(const uint8_t *p) {
    const uint64_t bits = nx::load_le32(p) | static_cast<uint64_t>(nx::load_le32(p + 4)) << 32;
    return std::bit_cast<double>(bits);
}

int32_t saturate_i32(double v) {
    return static_cast<int32_t>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
}

// The modulation-frequency setting a calibration frequency needs; -1 for a
// frequency the sensor cannot run at.
int setting_for(uint32_t khz) {
    switch (khz) {
        case 36000:
            return 0;
        case 24000:
            return 1;
        case 12000:
            return 2;
        default:
            return -1;
    }
}

}  // namespace

// Reads one of the three layouts into `params`; a 24-byte file also switches
// the sensor to the frequency it was calibrated at. An unusable file changes
// nothing.
int SensorModel::parse_params(const std::string &path, std::span<const uint8_t> bytes,
                              DrnuParams &params, int &freq_khz) {
    const bool with_frequency = bytes.size() == kWithFrequency;
    const uint32_t khz = with_frequency ? nx::load_le32(bytes.data()) : kAssumedFrequencyKhz;
    const uint8_t *p = bytes.data() + (with_frequency ? 4 : 0);
    DrnuParams read;
    read.offset_drnu = load_i32(p);
    read.temp_cal = load_i32(p + 4);
    read.step_cal_mm = load_f64(p + 8);
    read.temp_cal_ib = bytes.size() == kSensorTempOnly ? read.temp_cal : load_i32(p + 16);
    if (!std::isfinite(read.step_cal_mm) || read.step_cal_mm <= 0 ||
        read.step_cal_mm > kMaxStepMm) {
        NX_ERR(kFn, "[%s] %s: distance step %g mm unusable; built-in values used\n", path.c_str(),
               read.step_cal_mm);
        return -1;
    }
    if (with_frequency) {
        const int setting = setting_for(khz);
        if (setting < 0) {
            NX_ERR(kFn, "[%s] Not supported freq\n");
        } else {
            freq_khz = static_cast<int>(khz);
            set_modulation_locked(setting, device_address());
        }
    }
    NX_DBG(kFn, "[%s] Clib Freq:%d k\n", static_cast<int>(khz));
    NX_DBG(kFn, "[%s] gOffsetDRNU_Temp0:%d\n", read.offset_drnu);
    NX_DBG(kFn, "[%s] gTempCal0:%d\n", read.temp_cal);
    NX_DBG(kFn, "[%s] gTempCalIb0:%d\n", read.temp_cal_ib);
    NX_DBG(kFn, "[%s] gStepCalMM0:%2.4f\n", read.step_cal_mm);
    params = read;
    return 0;
}

int SensorModel::load_drnu_params() {
    std::lock_guard lock(op_mu_);
    return load_drnu_params_locked();
}

int SensorModel::load_drnu_params_locked() {
    const int entry = mod_freq_mode() == 2 ? 1 : 0;
    const std::string path = data_path(dev_.load(), param_name());
    DrnuParams params = kBuiltIn;
    int freq_khz = kAssumedFrequencyKhz;
    int result = 0;
    if (FilePtr file = open_for_reading(path)) {
        uint8_t bytes[kWithFrequency + 1] = {};
        const size_t n = std::fread(bytes, 1, sizeof bytes, file.get());
        if (n == kWithFrequency || n == kWithBoardTemp || n == kSensorTempOnly) {
            result = parse_params(path, std::span(bytes, n), params, freq_khz);
        } else {
            NX_ERR(kFn, "[%s] %s: %d bytes, not a DRNU parameter file; built-in values used\n",
                   path.c_str(), static_cast<int>(n));
            result = -1;
        }
    }

    auto cal = std::make_shared<Calibration>(*calibration());
    cal->sets = {params, params};
    cal->selected = entry;
    cal->calib_freq_khz = freq_khz;
    // The phase of the first calibration distance (295 mm of a 30000-unit
    // period) less the calibrated offset.
    const auto range_cm = static_cast<int64_t>(kSpeedOfLightDiv2 / (modulation_khz() * 10.0));
    const auto range = static_cast<uint16_t>(range_cm);
    cal->default_offset_phase =
        range == 0 ? 0 : saturate_i32(885000.0 / range - cal->params().offset_drnu);
    publish(std::move(cal));
    return result;
}

}  // namespace nx::sensor
