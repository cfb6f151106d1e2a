// The EPC decode of one 320x240 frame (a steps scene from the simulated
// sensor, with noise) through the driver, next to the same pipeline built
// from OpenCV calls (single-threaded, like the library):
//
//  decode_dist: phase and amplitude, the simple calibration, row
//    reordering, minimum-amplitude marking, the smoothing chain and the
//    range check (the decode's default switches). OpenCV: cv::phase and
//    cv::magnitude on the DCS differences, the same line, row copies,
//    compare/setTo masks and the OpenCV chain of bench_filters.cpp.
//  decode_drnu: the same with the per-pixel (DRNU) calibration; OpenCV has
//    no per-pixel table interpolation, so its yardstick is its distance
//    pipeline above.
//  decode_gray: amplitude and reordering; OpenCV: cv::magnitude of the
//    differences and row copies.
//  decode_stages: each stage of the distance decode alone, printed as a
//    table after the run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/opencv_chain.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_calibration.h"
#include "drivers/epc/epc_driver_state.h"
#include "drivers/epc/epc_image_steps.h"
#include "drivers/epc/epc_pixel.h"
#include "imgproc/nx_filter.h"
#include "nivex.h"
#include "sensorlib/dcs_row_order.h"
#include "sim/camsim.h"
#include "stream/nx_stream.h"

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr size_t kPixels = size_t{kW} * kH;
constexpr uint32_t kFrameBytes = kPixels * 8;

// An open simulated EPC camera with its factory calibration, and one raw
// frame of what its sensor sees.
class EpcRig {
  public:
    EpcRig()
        : dir_(std::filesystem::temp_directory_path() /
               ("nivex_bench_epc_" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir_);
        nxsim::reset();
        nivex_init("/dev/null");
        nx_log_disable();
        nivex_path_cfg((dir_.string() + "/").c_str());
        nxsim::CameraConfig config;
        config.product = "NVX-E2-2.0b";
        config.scene.kind = nxsim::SceneConfig::Kind::Steps;
        nxsim::Camera cam = nxsim::add_camera(config);
        cam.write_factory_calibration(dir_.string() + "/");
        dev_ = nivex_dev_open(nullptr);
        drv_ = nivex_dev_get_drv(dev_);
        raw_.resize(kPixels * 4);
        nxsim::SensorState sensor;
        sensor.integration_us = 300;
        sensor.temp_sensor = 412;
        sensor.temp_ib = 398;
        sensor.ambient_suppression = true;
        nxsim::make_sensor_physics(config)->render_sensor(
            0, {reinterpret_cast<uint8_t *>(raw_.data()), kFrameBytes}, sensor);
        meta_.frame_size = kFrameBytes;
        meta_.frame_format = NIVEX_FRAME_FMT_DCS4;
        meta_.width = kW;
        meta_.height = kH;
        meta_.pixel_bytes = 8;
        nx_stream_frame_info info{kFrameBytes, 0, 2, kW, kH, sensor.temp_sensor, sensor.temp_ib, 0};
        nivex_frame_meta described{};
        if (ok()) drv_->ops->frame_get_info(drv_, &described, &info);
    }
    ~EpcRig() {
        nivex_dev_close(dev_);
        nivex_uninit();
        nxsim::reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    EpcRig(const EpcRig &) = delete;
    EpcRig &operator=(const EpcRig &) = delete;

    bool ok() const { return drv_ != nullptr && nx::epc::state_of(drv_) != nullptr; }
    chip_driver *drv() const { return drv_; }
    nx::epc::epc_driver_state &state() const { return *nx::epc::state_of(drv_); }
    const std::vector<uint16_t> &raw() const { return raw_; }
    const uint8_t *raw_bytes() const { return reinterpret_cast<const uint8_t *>(raw_.data()); }
    const nivex_frame_meta &meta() const { return meta_; }
    void per_pixel(bool on) {
        nivex_filter_args mode{};
        mode.calib_mode = 1;
        if (on)
            drv_->ops->filter_enable(drv_, NIVEX_FILTER_PIXEL_CALIB, &mode, sizeof mode);
        else
            drv_->ops->filter_disable(drv_, NIVEX_FILTER_PIXEL_CALIB);
    }

  private:
    std::filesystem::path dir_;
    nivex_device *dev_ = nullptr;
    chip_driver *drv_ = nullptr;
    std::vector<uint16_t> raw_;
    nivex_frame_meta meta_{};
};

void frame_items(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPixels));
}

void run_decode(benchmark::State &state, int kind, bool per_pixel) {
    EpcRig rig;
    if (!rig.ok()) {
        state.SkipWithError("no simulated EPC camera");
        return;
    }
    rig.per_pixel(per_pixel);
    std::vector<uint16_t> out(kPixels);
    for (auto _ : state) {
        const int32_t n = rig.drv()->ops->frame_decode(rig.drv(), out.data(), kPixels * 2, kind,
                                                       rig.raw_bytes(), kFrameBytes, &rig.meta());
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    frame_items(state);
}

void BM_decode_dist_nx(benchmark::State &state) {
    run_decode(state, NX_DECODE_DISTANCE, false);
}
BENCHMARK(BM_decode_dist_nx)->Name("decode_dist/nx");

void BM_decode_drnu_nx(benchmark::State &state) {
    run_decode(state, NX_DECODE_DISTANCE, true);
}
BENCHMARK(BM_decode_drnu_nx)->Name("decode_drnu/nx");

void BM_decode_gray_nx(benchmark::State &state) {
    run_decode(state, NX_DECODE_GRAY, false);
}
BENCHMARK(BM_decode_gray_nx)->Name("decode_gray/nx");

// Each stage of the distance decode on its own.
template <class Stage>
void run_stage(benchmark::State &state, Stage &&stage) {
    EpcRig rig;
    if (!rig.ok()) {
        state.SkipWithError("no simulated EPC camera");
        return;
    }
    std::vector<uint16_t> dist(kPixels), amp(kPixels), a(kPixels), b(kPixels);
    const nx::epc::DistanceConstants c = nx::epc::current_constants(rig.state());
    const nx::epc::LinearCalib line = nx::epc::simple_calib(rig.state(), c);
    nx::epc::distance_linear(rig.raw_bytes(), kPixels, line, dist.data(), amp.data());
    nx::dcs_sort(a.data(), dist.data(), kW, kH);
    nx::dcs_sort(b.data(), amp.data(), kW, kH);
    const std::vector<uint16_t> sorted = a;
    for (auto _ : state) {
        stage(rig, c, line, dist, amp, a, b, sorted);
        benchmark::ClobberMemory();
    }
    frame_items(state);
}

using Image = std::vector<uint16_t>;

void BM_stage_phase(benchmark::State &state) {
    run_stage(state, [](EpcRig &rig, auto &, auto &line, Image &d, Image &a, Image &, Image &,
                        const Image &) {
        nx::epc::distance_linear(rig.raw_bytes(), kPixels, line, d.data(), a.data());
    });
}
BENCHMARK(BM_stage_phase)->Name("decode_stages/1_phase_amplitude");

void BM_stage_drnu(benchmark::State &state) {
    run_stage(state, [](EpcRig &rig, auto &c, auto &, Image &d, Image &a, Image &, Image &,
                        const Image &) {
        const auto drnu = nx::epc::drnu_calib(rig.state(), c, kW, kH);
        if (drnu) nx::epc::distance_drnu(rig.raw_bytes(), kPixels, *drnu, d.data(), a.data());
    });
}
BENCHMARK(BM_stage_drnu)->Name("decode_stages/1_phase_amplitude_per_pixel");

void BM_stage_sort(benchmark::State &state) {
    run_stage(state,
              [](EpcRig &, auto &, auto &, Image &d, Image &a, Image &x, Image &y, const Image &) {
                  nx::dcs_sort(x.data(), d.data(), kW, kH);
                  nx::dcs_sort(y.data(), a.data(), kW, kH);
              });
}
BENCHMARK(BM_stage_sort)->Name("decode_stages/2_sort");

void BM_stage_marking(benchmark::State &state) {
    run_stage(state,
              [](EpcRig &rig, auto &, auto &, Image &, Image &, Image &x, Image &y, const Image &) {
                  nx::epc::min_amp_mark(rig.state(), x.data(), y.data(), kPixels);
              });
}
BENCHMARK(BM_stage_marking)->Name("decode_stages/3_marking");

void BM_stage_chain(benchmark::State &state) {
    run_stage(state, [](EpcRig &, auto &, auto &, Image &d, Image &, Image &x, Image &,
                        const Image &sorted) {
        std::memcpy(x.data(), sorted.data(), kPixels * 2);
        benchmark::DoNotOptimize(
            nx::depth_smooth_chain(x.data(), d.data(), kW, kH, true, nxbench::kFlypixThreshold));
    });
}
BENCHMARK(BM_stage_chain)->Name("decode_stages/4_chain");

void BM_stage_range(benchmark::State &state) {
    run_stage(state, [](EpcRig &, auto &c, auto &, Image &, Image &, Image &x, Image &,
                        const Image &) { nx::epc::range_check(x.data(), kPixels, c.range_mm); });
}
BENCHMARK(BM_stage_range)->Name("decode_stages/5_range");

void BM_stage_undistort(benchmark::State &state) {
    run_stage(state,
              [](EpcRig &rig, auto &, auto &, Image &d, Image &, Image &x, Image &, const Image &) {
                  nx_calib_len_undistort_u16(&rig.state().lens_map, d.data(), int(kPixels),
                                             x.data(), kW, kH, 0);
              });
}
BENCHMARK(BM_stage_undistort)->Name("decode_stages/6_undistort");

#ifdef NIVEX_BENCH_OPENCV

// The library is single-threaded; so is the yardstick.
const bool g_cv_single_thread = [] {
    cv::setNumThreads(1);
    return true;
}();

// Readout row r of a plane goes to image row r2 (both halves from the middle
// outwards), as whole-row copies.
void cv_sort_rows(const cv::Mat &readout, cv::Mat &image) {
    image.create(readout.size(), readout.type());
    for (int r = 0; r < kH; ++r) {
        const int row = r % 2 == 0 ? kH / 2 - 1 - r / 2 : kH / 2 + (r - 1) / 2;
        readout.row(r).copyTo(image.row(row));
    }
}

// The four planes of the raw frame, 12-bit samples, and their differences.
struct CvPlanes {
    cv::Mat dcs[4], a, b, low, high, valid, tmp;
    void take(const std::vector<uint16_t> &raw) {
        for (int k = 0; k < 4; ++k) {
            cv::Mat plane(kH, kW, CV_16U, const_cast<uint16_t *>(raw.data() + k * kPixels));
            cv::bitwise_and(plane, cv::Scalar(0x0FFF), dcs[k]);
        }
        cv::subtract(dcs[2], dcs[0], a, cv::noArray(), CV_32F);
        cv::subtract(dcs[3], dcs[1], b, cv::noArray(), CV_32F);
        cv::min(dcs[0], dcs[1], low);
        cv::min(low, dcs[2], low);
        cv::min(low, dcs[3], low);
        cv::max(dcs[0], dcs[1], high);
        cv::max(high, dcs[2], high);
        cv::max(high, dcs[3], high);
        cv::compare(low, 0, valid, cv::CMP_GT);
        cv::compare(high, 4095, tmp, cv::CMP_LT);
        cv::bitwise_and(valid, tmp, valid);
    }
};

struct CvDistance {
    CvPlanes planes;
    cv::Mat phase, magnitude, dist_f, dist, amp, dist_img, amp_img, mask, mask2, smooth;
    nxbench::CvChain chain;
    double range = 12491, scale = 1.0, offset = 50;

    void operator()(const std::vector<uint16_t> &raw) {
        planes.take(raw);
        cv::phase(planes.a, planes.b, phase);  // 0 .. 2 pi
        cv::magnitude(planes.a, planes.b, magnitude);
        // Half a period on, wrapped into one period, scaled into millimetres.
        cv::add(phase, cv::Scalar(std::numbers::pi), phase);
        cv::compare(phase, 2 * std::numbers::pi, mask, cv::CMP_GE);
        cv::subtract(phase, cv::Scalar(2 * std::numbers::pi), phase, mask);
        phase.convertTo(dist, CV_16U, range / (2 * std::numbers::pi) * scale, offset);
        magnitude.convertTo(amp, CV_16U, 0.5);
        cv::bitwise_not(planes.valid, mask);
        dist.setTo(NX_PIXEL_OVERFLOW, mask);
        amp.setTo(NX_PIXEL_OVERFLOW, mask);
        cv_sort_rows(dist, dist_img);
        cv_sort_rows(amp, amp_img);
        cv::compare(amp_img, 0, mask, cv::CMP_LT);  // min_amp 0
        dist_img.setTo(NX_PIXEL_LOW_AMP, mask);
        chain(dist_img, smooth);
        cv::compare(smooth, 100, mask, cv::CMP_LE);
        cv::compare(smooth, range, mask2, cv::CMP_GE);
        cv::bitwise_or(mask, mask2, mask);
        cv::compare(smooth, NX_PIXEL_MAX_DISTANCE, mask2, cv::CMP_LE);
        cv::bitwise_and(mask, mask2, mask);
        smooth.setTo(NX_PIXEL_LOW_AMP, mask);
    }
};

struct CvGray {
    CvPlanes planes;
    cv::Mat magnitude, amp, mask, gray;
    void operator()(const std::vector<uint16_t> &raw) {
        planes.take(raw);
        cv::magnitude(planes.a, planes.b, magnitude);
        magnitude.convertTo(amp, CV_16U, 0.5);
        cv::bitwise_not(planes.valid, mask);
        amp.setTo(0, mask);
        cv_sort_rows(amp, gray);
    }
};

template <class Pipeline>
void run_cv(benchmark::State &state) {
    EpcRig rig;
    Pipeline pipeline;
    pipeline(rig.raw());  // allocates the outputs once
    for (auto _ : state) {
        pipeline(rig.raw());
        benchmark::ClobberMemory();
    }
    frame_items(state);
}

void BM_decode_dist_cv(benchmark::State &state) {
    run_cv<CvDistance>(state);
}
BENCHMARK(BM_decode_dist_cv)->Name("decode_dist/opencv");

void BM_decode_drnu_cv(benchmark::State &state) {
    run_cv<CvDistance>(state);
}
BENCHMARK(BM_decode_drnu_cv)->Name("decode_drnu/opencv");

void BM_decode_gray_cv(benchmark::State &state) {
    run_cv<CvGray>(state);
}
BENCHMARK(BM_decode_gray_cv)->Name("decode_gray/opencv");

#endif

}  // namespace
