#include "drivers/epc/epc_calibration.h"

#include <algorithm>
#include <cmath>

#include "common/nx_log.h"

namespace nx::epc {
namespace {

constexpr const char *kSimpleFn = "simple_calib";
constexpr double kSpeedOfLightDiv2MmHz = 149896229000.0;  // mm/s
constexpr int32_t kUncalibratedScale = 1000;
constexpr int32_t kSimpleOffsetMm = 50;
constexpr float kTempTermLimit = 1048576.0f;  // 2^20 phase units, far beyond any sensor

int32_t whole_mm(double mm) {
    return static_cast<int32_t>(std::clamp(std::trunc(mm), -2147483648.0, 2147483647.0));
}

// (sensor - calibration) x coef + (board - calibration) x board coef, in
// single precision.
float temperature_term(const epc_driver_state &state, const DistanceConstants &c, float coef,
                       float ib_coef) {
    const auto d_sensor = static_cast<float>(state.sensor_temp.load() - c.sensor_temp_calib);
    const auto d_board = static_cast<float>(state.ib_temp.load() - c.ib_temp_calib);
    return d_sensor * coef + d_board * ib_coef;
}

}  // namespace

DistanceConstants derive_constants(const nx::sensor::SensorModel &sensor) {
    DistanceConstants c;
    c.calibration = sensor.calibration();
    const nx::sensor::DrnuParams &params = c.calibration->params();
    c.step_cal_mm = whole_mm(params.step_cal_mm);
    c.sensor_temp_calib = params.temp_cal;
    c.ib_temp_calib = params.temp_cal_ib;
    c.calib_scale = c.calibration->scale_permille;
    c.calib_offset_mm = c.calibration->offset_mm;
    c.modulation_khz = sensor.modulation_khz();
    const auto hz = static_cast<float>(c.modulation_khz * 1000);
    if (hz > 0) c.range_mm = static_cast<uint32_t>(kSpeedOfLightDiv2MmHz / hz);
    if (c.range_mm > 0) {
        const auto range = static_cast<float>(c.range_mm);
        c.temp_coef_phase = c.temp_coef * static_cast<float>(kPhaseTurn) / range;
        c.ib_temp_coef_phase = c.ib_temp_coef * static_cast<float>(kPhaseTurn) / range;
        c.drnu_offset_phase =
            static_cast<int32_t>(c.drnu_offset_mm * kPhaseTurn / static_cast<int32_t>(c.range_mm));
        c.step_cal_phase = static_cast<float>(params.step_cal_mm * kPhaseTurn / c.range_mm);
    }
    return c;
}

DistanceConstants current_constants(epc_driver_state &state) {
    DistanceConstants c = state.constants();
    if (!state.sensor) return c;
    if (c.calibration == state.sensor->calibration() &&
        c.modulation_khz == state.sensor->modulation_khz())
        return c;
    c = derive_constants(*state.sensor);
    state.set_constants(c);
    return c;
}

LinearCalib simple_calib(epc_driver_state &state, const DistanceConstants &c) {
    LinearCalib line;
    line.range_mm = c.range_mm;
    int32_t offset = c.calib_offset_mm;
    line.scale_permille = c.calib_scale;
    if (c.calib_scale == 0) {
        line.scale_permille = kUncalibratedScale;
        offset = 0;
        if (!state.warned_uncalibrated.exchange(true))
            NX_WRN(kSimpleFn, "[%s] no distance images loaded: distances are not calibrated\n");
    }
    const float comp = std::clamp(temperature_term(state, c, c.temp_coef, c.ib_temp_coef),
                                  -kTempTermLimit, kTempTermLimit);
    line.add_mm = offset + kSimpleOffsetMm - static_cast<int32_t>(std::lround(comp));
    return line;
}

std::optional<DrnuCalib> drnu_calib(const epc_driver_state &state, const DistanceConstants &c,
                                    int width, int height) {
    if (c.range_mm == 0 || !c.calibration || c.calibration->loaded_bank < 0) return std::nullopt;
    const auto &bank = c.calibration->banks[static_cast<size_t>(c.calibration->loaded_bank)];
    if (!bank || bank->width != width || bank->height != height || bank->num_distances < 2)
        return std::nullopt;
    const size_t words = static_cast<size_t>(width) * static_cast<size_t>(height) *
                         static_cast<size_t>(bank->num_distances);
    if (bank->lut.size() < words) return std::nullopt;
    DrnuCalib calib;
    calib.range_mm = c.range_mm;
    calib.temp_term =
        std::clamp(temperature_term(state, c, c.temp_coef_phase, c.ib_temp_coef_phase),
                   -kTempTermLimit, kTempTermLimit);
    calib.step_phase = c.step_cal_phase;
    calib.offset_phase = c.drnu_offset_phase;
    calib.lut = bank->lut.data();
    calib.k = bank->num_distances;
    return calib;
}

}  // namespace nx::epc
