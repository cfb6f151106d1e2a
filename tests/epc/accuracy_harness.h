// Accuracy of the EPC decode against the camera simulator's ground truth: a
// simulated camera looks at a wall, its factory calibration is written into
// the data folder, frames are captured through the public calls and decoded
// with the simple and with the per-pixel calibration, and every valid pixel
// is compared with the true radial distance the simulator rendered.
//
// Header-only, so that the accuracy tests and the benchmark program that
// prints the table of figures run the very same harness.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "drivers/chip_driver.h"
#include "drivers/epc/epc_driver_state.h"
#include "imgproc/nx_math.h"
#include "nivex.h"
#include "sim/camsim.h"
#include "stream/nx_stream.h"

namespace epcaccuracy {

inline constexpr const char *kProduct = "NVX-E2-2.0b";
inline constexpr size_t kPixels = 320 * 240;
inline constexpr uint32_t kFrameBytes = kPixels * 8;
inline constexpr double kRangeMm = 149896229.0 / 12000;  // 12 MHz

struct ErrorStats {
    double mean = 0;  // mm, decoded - true
    double rms = 0;
    double p99 = 0;  // 99th percentile of |error|
    size_t valid = 0;
};

// Over the pixels the decode delivered a distance for (at most 60000 mm).
inline ErrorStats error_stats(const std::vector<uint16_t> &decoded,
                              const std::vector<double> &truth) {
    ErrorStats s;
    std::vector<double> errors;
    errors.reserve(decoded.size());
    double sum = 0, squares = 0;
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (decoded[i] > NX_PIXEL_MAX_DISTANCE) continue;
        const double e = decoded[i] - truth[i];
        sum += e;
        squares += e * e;
        errors.push_back(std::fabs(e));
    }
    s.valid = errors.size();
    if (errors.empty()) return s;
    s.mean = sum / static_cast<double>(errors.size());
    s.rms = std::sqrt(squares / static_cast<double>(errors.size()));
    const size_t at = std::min(errors.size() - 1, errors.size() * 99 / 100);
    std::nth_element(errors.begin(), errors.begin() + static_cast<long>(at), errors.end());
    s.p99 = errors[at];
    return s;
}

// What the arctangent table's quantisation alone costs on these samples:
// the RMS (mm) of the table's phase against the exact angle, over the
// measured pixels.
inline double arctan_floor_mm(const std::vector<uint16_t> &raw) {
    double squares = 0;
    size_t n = 0;
    for (size_t i = 0; i < kPixels; ++i) {
        int p[4];
        for (size_t k = 0; k < 4; ++k)
            p[k] = raw[k * kPixels + i] & 0xFFF;
        if (*std::max_element(p, p + 4) >= 4095 || *std::min_element(p, p + 4) == 0) continue;
        const int a = p[2] - p[0], b = p[3] - p[1];
        const double exact = std::atan2(b, a) / (2 * std::numbers::pi) * 30000;
        double diff = nx_math_atan2_i32(b, a) - exact;
        diff -= 30000 * std::round(diff / 30000);
        squares += diff * diff;
        ++n;
    }
    return n == 0 ? 0 : std::sqrt(squares / static_cast<double>(n)) * kRangeMm / 30000;
}

struct Scenario {
    double wall_mm = 1500;
    bool noise = false;
    // Temperature drift (0.1 degC per minute); the capture then runs until
    // the sensor has warmed by `warm_by` (0.1 degC).
    double drift = 0;
    int warm_by = 50;
    int frames = 3;
    // The factory calibration is not written into the data folder: the open
    // fetches it from the camera.
    bool fetch_calibration = false;
};

// One decoded frame.
struct FrameFigures {
    ErrorStats simple;
    ErrorStats drnu;
    // The per-pixel decode with the temperatures of the first frame: what a
    // decode without temperature compensation would deliver.
    ErrorStats uncompensated;
    double floor_mm = 0;
    int16_t sensor_temp = 0;
};

struct Figures {
    std::vector<FrameFigures> frames;
    std::string error;  // empty when the run worked

    ErrorStats mean_of(ErrorStats FrameFigures::*which) const {
        ErrorStats m;
        for (const FrameFigures &f : frames) {
            m.mean += (f.*which).mean;
            m.rms += (f.*which).rms;
            m.p99 += (f.*which).p99;
            m.valid += (f.*which).valid;
        }
        const auto n = static_cast<double>(std::max<size_t>(frames.size(), 1));
        return {m.mean / n, m.rms / n, m.p99 / n, m.valid / std::max<size_t>(frames.size(), 1)};
    }
    double floor_mm() const {
        double sum = 0;
        for (const FrameFigures &f : frames)
            sum += f.floor_mm;
        return frames.empty() ? 0 : sum / static_cast<double>(frames.size());
    }
};

// Exposure (microseconds, within the sensor's 50 to 4000) that gives a
// white wall at `wall_mm` an amplitude of about 1500 in the image centre.
inline uint16_t exposure_for(double wall_mm) {
    const double metres = wall_mm / 1000;
    return static_cast<uint16_t>(std::clamp(700 * 1500 * metres * metres / 6000, 50.0, 4000.0));
}

class Run {
  public:
    // The library is started and its data folder is `folder`.
    Run(const Scenario &scenario, const std::string &folder) : scenario_(scenario) {
        nxsim::CameraConfig config;
        config.product = kProduct;
        config.frame_rate = 100;
        config.scene.wall_mm = scenario.wall_mm;
        config.scene.reflectivity = 1.0;
        config.scene.noise_mm = scenario.noise ? 3 : 0;
        config.scene.drift = scenario.drift;
        cam_ = nxsim::add_camera(config);
        start_sensor_ = config.sensor_temperature;
        start_board_ = config.board_temperature;
        if (!scenario.fetch_calibration && !cam_.write_factory_calibration(folder))
            fail("factory calibration not written");
    }
    ~Run() { nivex_dev_close(&dev_); }
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    Figures figures() {
        if (!result_.error.empty() || !open()) return result_;
        const std::vector<double> truth = cam_.true_distances_mm();
        std::vector<uint16_t> raw(kPixels * 4);
        nivex_frame_meta meta{};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            const int got = nivex_cap_get_frames(&dev_, 1, raw.data(), kFrameBytes, &meta);
            if (got < 0) return fail("capture failed");
            if (got == 1) measure(raw, meta, truth);
        }
        nivex_cap_stop(&dev_);
        if (!done()) fail("too few frames before the deadline");
        return result_;
    }

  private:
    Figures fail(const std::string &why) {
        if (result_.error.empty()) result_.error = why;
        return result_;
    }

    bool open() {
        if (nivex_dev_open(&dev_) != &dev_) return fail("open failed").error.empty();
        drv_ = nivex_dev_get_drv(&dev_);
        state_ = nx::epc::state_of(drv_);
        if (state_ == nullptr) return fail("no EPC driver").error.empty();
        nivex_param_entry exposure{};
        exposure.param_id = NIVEX_PARAM_INTG_TIME;
        exposure.param_val_len = 2;
        exposure.param_val.u16 = exposure_for(scenario_.wall_mm);
        if (!nivex_param_batch_set(&dev_, &exposure, 1)) return fail("no exposure").error.empty();
        // Per pixel: nothing smooths across pixels.
        drv_->ops->filter_disable(drv_, NIVEX_FILTER_DEPTH_SMOOTH);
        // A drifting sensor starts warming with the capture (the set-up before
        // may take long under a sanitizer, and the drift stops at 85 degC).
        if (scenario_.drift != 0) cam_.set_temperatures(start_sensor_, start_board_);
        if (!nivex_cap_set_frame_buffer(&dev_, nullptr, 8 * NIVEX_FRAME_SLOT_SIZE) ||
            !nivex_cap_start(&dev_))
            return fail("capture not started").error.empty();
        return true;
    }

    void measure(const std::vector<uint16_t> &raw, const nivex_frame_meta &meta,
                 const std::vector<double> &truth) {
        FrameFigures f;
        f.sensor_temp = state_->sensor_temp.load();
        const int16_t board = state_->ib_temp.load();
        if (result_.frames.empty()) {
            first_sensor_ = f.sensor_temp;
            first_board_ = board;
        }
        f.simple = decode(raw, meta, truth, false);
        f.drnu = decode(raw, meta, truth, true);
        f.floor_mm = arctan_floor_mm(raw);
        if (scenario_.drift != 0) {
            describe(meta, first_sensor_, first_board_);
            f.uncompensated = decode(raw, meta, truth, true);
            describe(meta, f.sensor_temp, board);
        }
        result_.frames.push_back(f);
    }

    bool done() const {
        if (scenario_.drift == 0)
            return static_cast<int>(result_.frames.size()) >= scenario_.frames;
        return !result_.frames.empty() &&
               result_.frames.back().sensor_temp - first_sensor_ >= scenario_.warm_by;
    }

    // Describes the frame again, as if its header carried these temperatures.
    void describe(const nivex_frame_meta &meta, int16_t sensor, int16_t board) {
        nx_stream_frame_info info{};
        info.frlen = meta.frame_size;
        info.fridx = meta.frame_idx;
        info.frfmt = meta.frame_format;
        info.width = static_cast<uint16_t>(meta.width);
        info.height = static_cast<uint16_t>(meta.height);
        info.temp_sensor = sensor;
        info.temp_ib = board;
        nivex_frame_meta again{};
        drv_->ops->frame_get_info(drv_, &again, &info);
    }

    ErrorStats decode(const std::vector<uint16_t> &raw, const nivex_frame_meta &meta,
                      const std::vector<double> &truth, bool per_pixel) {
        nivex_filter_args mode{};
        mode.calib_mode = 1;
        if (per_pixel)
            drv_->ops->filter_enable(drv_, NIVEX_FILTER_PIXEL_CALIB, &mode, sizeof mode);
        else
            drv_->ops->filter_disable(drv_, NIVEX_FILTER_PIXEL_CALIB);
        std::vector<uint16_t> out(kPixels);
        const int32_t n = drv_->ops->frame_decode(drv_, out.data(), kPixels * 2, NX_DECODE_DISTANCE,
                                                  reinterpret_cast<const uint8_t *>(raw.data()),
                                                  kFrameBytes, &meta);
        if (n != static_cast<int32_t>(kPixels * 2)) return {};
        return error_stats(out, truth);
    }

    Scenario scenario_;
    nxsim::Camera cam_;
    nivex_device dev_{};
    chip_driver *drv_ = nullptr;
    nx::epc::epc_driver_state *state_ = nullptr;
    Figures result_;
    int16_t first_sensor_ = 0;
    int16_t first_board_ = 0;
    int16_t start_sensor_ = 0;
    int16_t start_board_ = 0;
};

}  // namespace epcaccuracy
