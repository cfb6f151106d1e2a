// The sensor set-up the library needs at device open: demodulation delay and
// DLL, the frequency table, readout geometry, the delay line at rest, and the
// calibration data of this chip; and the constants of the calculation.
#include <array>
#include <mutex>

#include "common/nx_log.h"
#include "imgproc/nx_math.h"
#include "sensorlib/sensor_model.h"
#include "sensorlib/sensor_registers.h"

namespace nx::sensor {
namespace {

constexpr const char *kInitFn = "configInit";
constexpr const char *kParamsFn = "configLoadParameters";
constexpr uint8_t kDemodDelay = 2;
constexpr uint8_t kDllBypassBit = 0x01;
constexpr uint8_t kDllStart = 1;
constexpr uint8_t kDllRun = 4;
constexpr uint8_t kSmallSensorSetupValue = 99;
constexpr int kSequencerVersion = 9;
constexpr int kDrnuModeTables = 2;

// The arctangent table is the same for every sensor: built once per process,
// so a second camera's set-up never rewrites it under a running decode.
void build_arctangent_table() {
    static std::once_flag once;
    std::call_once(once, [] { atan2lut_Init(); });
}

}  // namespace

int SensorModel::config_init(int dev_addr) {
    std::lock_guard lock(op_mu_);
    bool chip_ok = true;
    auto step = [&](bool done) { chip_ok = chip_ok && done; };

    const uint8_t demod = kDemodDelay;
    step(write_regs_locked(dev_addr, reg::kDemodDelay, std::span(&demod, 1)));
    const uint8_t dll_start = kDllStart;
    step(write_regs_locked(dev_addr, reg::kDllControl, std::span(&dll_start, 1)));
    step(modify_reg_locked(dev_addr, reg::kDllControl, 0, kDllBypassBit));

    const bool small = small_sensor();
    calib_width_.store(small ? 160 : 320);
    calib_height_.store(small ? 60 : 240);
    sequencer_version_ = kSequencerVersion;

    step(read_frequency_table_locked(dev_addr));
    num_distances_.store(kMaxDistances);
    temperature_init();
    pru_init();

    if (small) {
        small_ = {0xFFFF, true, 16, 65503, 168, 72};
        const uint8_t setup = kSmallSensorSetupValue;
        step(write_regs_locked(dev_addr, reg::kSmallSensorSetup, std::span(&setup, 1)));
    }
    const std::array<uint8_t, 3> delay_line_at_rest = {0, 0, 0};
    step(write_regs_locked(dev_addr, reg::kDelayStep, delay_line_at_rest));
    const uint8_t dll_run = kDllRun;
    step(write_regs_locked(dev_addr, reg::kDllControl, std::span(&dll_run, 1)));

    // No grayscale gain/offset data exists for these cameras: that correction
    // stays off, as it does whenever its data fail to load.
    grayscale_.store(false);
    drnu_mode_.store(1);
    load_drnu_params_locked();
    load_parameters_locked();
    const bool images = load_distance_images_locked(ext_mode_.load() ? 0 : 1) == 0;
    drnu_mode_.store(images ? kDrnuModeTables : 0);
    temp_correction_.store(images);

    NX_DBG(kInitFn,
           "[%s] part type %d, part version %u, IC version %u, wafer %u, chip %u, %d kHz\n",
           part_type(), part_version(), ic_version(), wafer_id(), chip_id(), modulation_khz());
    build_arctangent_table();
    if (!chip_ok) NX_ERR(kInitFn, "[%s] sensor set-up incomplete: register access failed\n");
    return chip_ok ? 0 : -1;
}

int SensorModel::load_parameters() {
    std::lock_guard lock(op_mu_);
    return load_parameters_locked();
}

int SensorModel::load_parameters_locked() {
    calc_.ambient_light_factor_base = 250;
    NX_DBG(kParamsFn, "[%s] ambientLightFactor = %2.4f\n", calc_.ambient_light_factor_base);
    calc_.print_level = 0;
    NX_DBG(kParamsFn, "[%s] print = %d\n", calc_.print_level);
    calc_.drnu_diff_temp = 7;
    NX_DBG(kParamsFn, "[%s] diffTemp = %d\n", calc_.drnu_diff_temp);
    calc_.drnu_delay_us = 5000;
    NX_DBG(kParamsFn, "[%s] drnuDelay = %d\n", calc_.drnu_delay_us);
    calc_.averaged_frames = 25;
    NX_DBG(kParamsFn, "[%s] numAveragedFrames = %d\n", calc_.averaged_frames);
    calc_.epc635_temp_coeff = 1.56131;
    NX_DBG(kParamsFn, "[%s] epc635_TemperatureCoeff = %2.6f\n", calc_.epc635_temp_coeff);
    calc_.epc660_temp_coeff = 1.7;
    NX_DBG(kParamsFn, "[%s] epc660_TemperatureCoeff = %2.6f\n", calc_.epc660_temp_coeff);
    calc_.speed_of_light_div2 = 149896229.0;
    NX_DBG(kParamsFn, "[%s] speed of light div 2 = %2.2f\n", calc_.speed_of_light_div2);
    calc_.epc660_ib_temp_coeff = 0.33765;
    NX_DBG(kParamsFn, "[%s] epc660_IbTemperatureCoeff = %2.6f\n", calc_.epc660_ib_temp_coeff);
    return 0;
}

}  // namespace nx::sensor
