// The exported calls of the DRNU calibration procedure and its steps, on the
// current device's record. Each step takes the procedure's lock, so a step
// called while a procedure runs waits for it to end.
#include <mutex>

#include "nivex_sensorlib.h"
#include "sensorlib/drnu_creation.h"
#include "sensorlib/export_guard.h"

using nx::sensor::DrnuWork;
using nx::sensor::on_current;
using nx::sensor::SensorModel;

namespace {

// Runs `step` with the procedure's lock held.
template <typename Result, typename Step>
Result locked_step(const char *fn, Result fallback, Step step) noexcept {
    return on_current(fn, fallback, [&](SensorModel &m) {
        DrnuWork &work = m.drnu_work();
        std::lock_guard lock(work.mu);
        return step(m, work);
    });
}

}  // namespace

extern "C" {

int calibrationDRNU(void) {
    return on_current(__func__, -1, [](SensorModel &m) { return nx::sensor::calibrate_drnu(m); });
}
int apiCalibrateDRNU(void) {
    return on_current(__func__, -1, [](SensorModel &m) { return nx::sensor::calibrate_drnu(m); });
}
void calibrationSetProgressCallback(calibration_progress_fn fn) {
    nx::sensor::set_progress_callback(fn);
}
int calibrationSetNumAveragedFrames(int frames) {
    if (frames < 1) return -1;
    return on_current(__func__, -1, [&](SensorModel &m) {
        if (m.device() == nullptr) return -1;
        nx::sensor::set_averaged_frames(m, frames);
        return 0;
    });
}
int calibrationCreateDRNU_LUT(int step, int numAvrFrames) {
    return locked_step(__func__, -1, [&](SensorModel &m, DrnuWork &w) {
        return nx::sensor::create_step_locked(m, w, step, numAvrFrames);
    });
}
int calibrationTestStep(void) {
    return locked_step(__func__, -1, nx::sensor::test_step_locked);
}
int calibrationSaveDistanceImages(void) {
    return locked_step(__func__, -1, nx::sensor::save_distance_images_locked);
}
int calibrationSaveTemperatureDRNU(void) {
    return locked_step(__func__, -1, nx::sensor::save_temperatures_locked);
}
int calibrationLoadTemperatureDRNU(void) {
    return locked_step(__func__, -1, nx::sensor::load_temperatures_locked);
}
int calibrationDRNU_FromFile(int step10) {
    return locked_step(__func__, -1, [&](SensorModel &m, DrnuWork &w) {
        return nx::sensor::from_file_locked(m, w, step10);
    });
}
int calibrationAutoRenew(void) {
    return locked_step(__func__, 0, nx::sensor::auto_renew_locked);
}
int calibrationSaveDRNU_LUT(void) {
    return locked_step(__func__, -1, nx::sensor::save_lut_locked);
}
int _construct_calib_param_pk(int) {
    return locked_step(__func__, -1, nx::sensor::construct_package_locked);
}

int calculationDistanceSorted(uint16_t *phase, int pixels) {
    if (phase == nullptr || pixels <= 0) return -1;
    return on_current(__func__, -1, [&](SensorModel &m) {
        return nx::sensor::phase_image(m, std::span(phase, static_cast<size_t>(pixels)),
                                       m.calib_width(), m.calib_height());
    });
}
int temperatureGetTemperatures(int16_t *readings) {
    if (readings == nullptr) return -1;
    return on_current(__func__, -1, [&](SensorModel &m) {
        std::array<int16_t, nx::sensor::kTemperatureReadings> r{};
        if (!nx::sensor::read_temperatures(m, r)) return -1;
        std::copy(r.begin(), r.end(), readings);
        return 0;
    });
}

int apiLoadConfig(int mode, int) {
    return on_current(__func__, -1, [&](SensorModel &m) { return m.load_config(mode); });
}
void calculationSetMinAmplitude(int amplitude) {
    on_current(__func__, [&](SensorModel &m) { m.set_min_amplitude(amplitude); });
}
int calculationGetMinAmplitude(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.min_amplitude(); });
}
int calculationGetEnableDRNU(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.drnu_mode(); });
}

}  // extern "C"
