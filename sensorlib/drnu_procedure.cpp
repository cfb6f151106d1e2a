// The DRNU calibration procedure: the sensor is set up for calibrating, its
// delay line is swept through K steps (again while the temperature drifts),
// and the images, temperatures, the best-fitting step and the package are
// written. However it ends, the sensor is left at rest with the settings it
// had before.
#include <atomic>
#include <cmath>
#include <cstdlib>

#include "common/nx_log.h"
#include "sensorlib/drnu_creation.h"
#include "sensorlib/sensor_registers.h"

namespace nx::sensor {
namespace {

constexpr const char *kFn = "calibrationDRNU";
constexpr uint8_t kDllCalibrating = 4;
constexpr uint8_t kDllAtRest = 1;
constexpr uint8_t kUncalibratedCode = 0xFF;
constexpr int k36MhzKhz = 36000;
constexpr int kDistancesAt36Mhz = 20;
constexpr double kMmPerNs = 150.0;
constexpr int kNoDriftLimit = 1000;  // a temperature difference from here on is no limit

bool write_reg(SensorModel &model, int reg, uint8_t value) {
    return model.i2c(model.device_address(), 'w', reg, 1, &value) == 0;
}

// What the procedure changes and gives back at its end.
class SensorAtRest {
  public:
    explicit SensorAtRest(SensorModel &model)
        : model_(model),
          mode_(model.current_mode()),
          min_amp_(model.min_amplitude()),
          drnu_mode_(model.drnu_mode()) {}
    SensorAtRest(const SensorAtRest &) = delete;
    SensorAtRest &operator=(const SensorAtRest &) = delete;

    ~SensorAtRest() {
        bool ok = write_reg(model_, reg::kDllControl, kDllAtRest);
        uint8_t delay_line[3] = {0, 0, 0};  // 0x71..0x73
        ok = model_.i2c(model_.device_address(), 'w', reg::kDelayStep, 3, delay_line) == 0 && ok;
        if (mode_ == 0) ok = model_.load_config(0) == 0 && ok;
        model_.set_min_amplitude(min_amp_);
        model_.set_drnu_mode(drnu_mode_);
        if (!ok) NX_ERR(kFn, "[%s] sensor registers not restored\n");
    }

    bool was_mode0() const { return mode_ == 0; }

  private:
    SensorModel &model_;
    int mode_;
    int min_amp_;
    int drnu_mode_;
};

// Mode 1, the calibration window, no corrections, the delay line running.
bool prepare_sensor(SensorModel &model, DrnuWork &work, bool mode0) {
    const int addr = model.device_address();
    if (mode0 && model.load_config(1) != 0) return false;
    const bool small = model.small_sensor();
    if (model.set_roi(4, small ? 163 : 323, 6, small ? 65 : 125, addr) != 0) return false;
    model.set_min_amplitude(0);
    model.set_ambient_light_correction(false);
    model.set_drnu_mode(0);
    model.set_temperature_correction(false);
    if (!write_reg(model, reg::kDllControl, kDllCalibrating)) return false;
    uint8_t lines[2] = {0, 0};
    if (model.i2c(addr, 'w', reg::kDelayStep, 2, lines) != 0) return false;
    uint8_t code = 0;
    if (model.i2c(addr, 'r', kRegDelayCode, 1, &code) != 0) return false;
    work.delay_cal_ns = code == kUncalibratedCode
                            ? kNominalDelayNs
                            : (code - kMiddleCode) * kDelayPerCodeNs + kNominalDelayNs;
    NX_INF(kFn, "[%s] gDelayCal: %3.2f \n", work.delay_cal_ns);
    return true;
}

std::atomic<calibration_progress_fn> g_progress{nullptr};

void report_progress(int step, int steps, int sweep) {
    if (const calibration_progress_fn fn = g_progress.load()) fn(step, steps, sweep);
}

struct SweepResult {
    bool measured = false;
    bool settled = true;
};

// One pass over the K delay steps; it starts again at step 0 when the
// temperature left the allowed band, as long as sweeps remain.
bool sweep_once(SensorModel &model, DrnuWork &work, int k, int frames, int &sweeps,
                bool &unsettled) {
    const int diff = model.calc_params().drnu_diff_temp;
    int64_t sensor_sum = 0;
    int64_t board_sum = 0;
    unsettled = false;
    for (int step = 0; step < k;) {
        uint8_t index = static_cast<uint8_t>(step);
        if (model.i2c(model.device_address(), 'w', reg::kDelayStep + 2, 1, &index) != 0)
            return false;
        if (create_step_locked(model, work, step, frames) != 0) return false;
        report_progress(step, k, sweeps);
        const int16_t t = work.temperature[static_cast<size_t>(step)];
        const int16_t tib = work.ib_temperature[static_cast<size_t>(step)];
        NX_INF(kFn, "[%s] gTemperatureDRNU[i]= %d\n", t);
        NX_INF(kFn, "[%s] gIbTemperatureDRNU[i]= %d\n", tib);
        sensor_sum += t;
        board_sum += tib;
        if (std::abs(t - work.temperature[0]) > diff) {
            if (sweeps < kMaxSweeps) {
                sensor_sum = board_sum = 0;
                step = 0;
                ++sweeps;
                continue;
            }
            unsettled = true;
        }
        ++step;
    }
    work.temp_cal = static_cast<int32_t>(sensor_sum / k);
    work.ib_temp_cal = static_cast<int32_t>(board_sum / k);
    work.step_cal_mm =
        kMmPerNs * ((work.temp_cal - kReferenceTemp) * kDelayTempCoefNs + work.delay_cal_ns);
    return true;
}

// Sweeps until one drifted by no more than the allowed difference, at most
// kMaxSweeps times; then the last sweep stands, with a warning.
SweepResult sweep(SensorModel &model, DrnuWork &work, int k, int frames) {
    const int diff = model.calc_params().drnu_diff_temp;
    SweepResult result;
    int sweeps = 1;
    for (;;) {
        bool unsettled = false;
        if (!sweep_once(model, work, k, frames, sweeps, unsettled)) return result;
        const int drift = work.temperature[static_cast<size_t>(k - 1)] - work.temperature[0];
        NX_INF(kFn, "[%s] tempDiff= %d  gTempCal= %d  count= %d, gIbTemp:%d\n", drift,
               work.temp_cal, sweeps, work.ib_temp_cal);
        save_distance_images_locked(model, work);
        test_step_locked(model, work);
        const bool drifting = diff < kNoDriftLimit && diff < drift;
        if (!drifting && !unsettled) break;
        if (sweeps >= kMaxSweeps) {
            result.settled = false;
            break;
        }
        ++sweeps;
    }
    result.measured = true;
    if (!result.settled)
        NX_WRN(kFn, "[%s] temperature still drifting after %d sweeps: the last sweep is used\n",
               kMaxSweeps);
    return result;
}

int distances_for(SensorModel &model) {
    if (model.modulation_khz() == k36MhzKhz && model.set_num_distances(kDistancesAt36Mhz) != 0)
        return -1;
    return model.num_distances();
}

// Everything after the sweep that only needs the measured images.
void evaluate(SensorModel &model, DrnuWork &work) {
    save_temperatures_locked(model, work);
    from_file_locked(model, work, static_cast<int>(std::trunc(work.step_cal_mm * 10)));
    if (auto_renew_locked(model, work) == 1) NX_INF(kFn, "[%s] Find best step value : OK\n");
}

}  // namespace

void set_progress_callback(calibration_progress_fn fn) {
    g_progress.store(fn);
}

void set_drnu_timing(SensorModel &model, int averaged_frames, int delay_us) {
    DrnuWork &work = model.drnu_work();
    std::lock_guard lock(work.mu);
    work.frames_override = averaged_frames;
    work.delay_us_override = delay_us;
}

void set_averaged_frames(SensorModel &model, int frames) {
    DrnuWork &work = model.drnu_work();
    std::lock_guard lock(work.mu);
    work.frames_override = frames;
}

int calibrate_drnu(SensorModel &model) {
    DrnuWork &work = model.drnu_work();
    std::lock_guard lock(work.mu);
    if (model.device() == nullptr) {
        NX_ERR(kFn, "[%s] no current device\n");
        return -1;
    }
    work.write_failures = 0;
    const int frames =
        work.frames_override >= 0 ? work.frames_override : model.calc_params().averaged_frames;
    bool measured = false;
    {
        SensorAtRest restore(model);
        const int k = distances_for(model);
        if (k >= 1 && prepare_sensor(model, work, restore.was_mode0())) {
            measured = sweep(model, work, k, frames).measured;
            if (measured) evaluate(model, work);
        }
    }
    if (!measured) {
        NX_ERR(kFn, "[%s] calibration not measured\n");
        return -1;
    }
    construct_package_locked(model, work);
    if (work.write_failures > 0) {
        NX_ERR(kFn, "[%s] %d calibration files not written\n", work.write_failures);
        return -1;
    }
    return 0;
}

}  // namespace nx::sensor
