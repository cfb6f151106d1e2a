// Depth filters, the smoothing chain and lens undistortion on one 320x240
// 16-bit frame, each next to the same operation built from OpenCV calls (when
// OpenCV is available). OpenCV runs single-threaded, like the library.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "imgproc/nx_calib_len.h"
#include "imgproc/nx_filter.h"

#include "bench/opencv_chain.h"

#ifdef NIVEX_BENCH_OPENCV_CALIB3D
#include <opencv2/calib3d.hpp>
#endif

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr size_t kPixels = static_cast<size_t>(kW) * kH;
using nxbench::kFlypixThreshold;

// A tilted wall with a box in front of it, sensor noise and scattered
// low-amplitude pixels.
const std::vector<uint16_t> &depth_frame() {
    static const std::vector<uint16_t> frame = [] {
        std::vector<uint16_t> f(kPixels);
        std::mt19937 rng(5);
        std::normal_distribution<double> noise(0.0, 12.0);
        std::uniform_int_distribution<int> dropout(0, 49);
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                double d = 2500.0 + 3.0 * x + 1.5 * y;
                if (x > 100 && x < 200 && y > 60 && y < 160) d = 1200.0;
                d += noise(rng);
                f[static_cast<size_t>(y) * kW + x] =
                    dropout(rng) == 0 ? uint16_t{NX_PIXEL_LOW_AMP} : static_cast<uint16_t>(d);
            }
        }
        return f;
    }();
    return frame;
}

epc_lens_param default_lens() {
    return nx::kDefaultLensParam;
}

const nx_lens_map &lens_map() {
    static const nx_lens_map map = [] {
        nx_lens_map m{};
        epc_lens_param lens = default_lens();
        nx_calib_len_init_map(&m, &lens);
        return m;  // lives for the whole run
    }();
    return map;
}

void frame_items(benchmark::State &state) {
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kPixels));
}

template <class Filter>
void run_nx(benchmark::State &state, Filter &&filter) {
    const std::vector<uint16_t> &src = depth_frame();
    std::vector<uint16_t> dst(kPixels);
    for (auto _ : state) {
        filter(dst.data(), src.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    frame_items(state);
}

void BM_median3_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_median2d_u16_k3(d, s, kW, kH); });
}
BENCHMARK(BM_median3_nx)->Name("median3/nx");

void BM_median5_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_median2d_u16_k5(d, s, kW, kH); });
}
BENCHMARK(BM_median5_nx)->Name("median5/nx");

void BM_median7_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_median2d_u16(d, s, kW, kH, 7); });
}
BENCHMARK(BM_median7_nx)->Name("median7/nx");

void BM_box3_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_box2d_u16_k3(d, s, kW, kH); });
}
BENCHMARK(BM_box3_nx)->Name("box3/nx");

void BM_gauss3_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_gauss2d_u16_k3(d, s, kW, kH); });
}
BENCHMARK(BM_gauss3_nx)->Name("gauss3/nx");

void BM_flypix_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) {
        nx_flypix_u16_k3(d, s, kW, kH, kFlypixThreshold);
    });
}
BENCHMARK(BM_flypix_nx)->Name("flypix/nx");

void BM_fhole3_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_fhole_u16_k3(d, s, kW, kH); });
}
BENCHMARK(BM_fhole3_nx)->Name("fhole3/nx");

void BM_fhole5_nx(benchmark::State &state) {
    run_nx(state, [](uint16_t *d, const uint16_t *s) { nx_fhole_u16_k5(d, s, kW, kH); });
}
BENCHMARK(BM_fhole5_nx)->Name("fhole5/nx");

// The chain consumes its input buffer, so every round starts from a fresh copy
// of the frame (the copy is part of the measured time).
void BM_chain_nx(benchmark::State &state) {
    const std::vector<uint16_t> &src = depth_frame();
    std::vector<uint16_t> work(kPixels), dst(kPixels);
    for (auto _ : state) {
        std::memcpy(work.data(), src.data(), kPixels * sizeof(uint16_t));
        uint16_t *out =
            nx::depth_smooth_chain(work.data(), dst.data(), kW, kH, true, kFlypixThreshold);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    frame_items(state);
}
BENCHMARK(BM_chain_nx)->Name("chain/nx");

// Map building without the allocation of the map arrays (a one-off at device
// start whose cost depends on the allocator's state): both sides write into
// arrays that stay allocated.
void BM_lensmap_nx(benchmark::State &state) {
    epc_lens_param lens = default_lens();
    std::vector<float> map_x(kPixels), map_y(kPixels);
    nx::LensRoi roi{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(nx::lens_map_compute(lens, map_x.data(), map_y.data(), roi));
        benchmark::ClobberMemory();
    }
    frame_items(state);
}
BENCHMARK(BM_lensmap_nx)->Name("lensmap/nx");

void BM_remap_u16_nx(benchmark::State &state) {
    const nx_lens_map &map = lens_map();
    const std::vector<uint16_t> &src = depth_frame();
    std::vector<uint16_t> dst(kPixels);
    for (auto _ : state) {
        nx_calib_len_undistort_u16(&map, dst.data(), static_cast<int>(kPixels), src.data(), kW, kH,
                                   0);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    frame_items(state);
}
BENCHMARK(BM_remap_u16_nx)->Name("remap_u16/nx");

void BM_remap_f32_nx(benchmark::State &state) {
    const nx_lens_map &map = lens_map();
    const std::vector<uint16_t> &frame = depth_frame();
    std::vector<float> src(frame.begin(), frame.end()), dst(kPixels);
    for (auto _ : state) {
        nx_calib_len_undistort_f32(&map, dst.data(), static_cast<int>(kPixels), src.data(), kW, kH,
                                   0.0f);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    frame_items(state);
}
BENCHMARK(BM_remap_f32_nx)->Name("remap_f32/nx");

#ifdef NIVEX_BENCH_OPENCV

// The library is single-threaded; so is the yardstick.
const bool g_cv_single_thread = [] {
    cv::setNumThreads(1);
    return true;
}();

cv::Mat cv_frame() {
    return cv::Mat(kH, kW, CV_16U, const_cast<uint16_t *>(depth_frame().data()));
}

template <class Op>
void run_cv(benchmark::State &state, Op &&op) {
    cv::Mat src = cv_frame();
    cv::Mat dst;
    op(src, dst);  // allocates the outputs once
    for (auto _ : state) {
        op(src, dst);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    frame_items(state);
}

void BM_median3_cv(benchmark::State &state) {
    run_cv(state, [](const cv::Mat &s, cv::Mat &d) { cv::medianBlur(s, d, 3); });
}
BENCHMARK(BM_median3_cv)->Name("median3/opencv");

void BM_median5_cv(benchmark::State &state) {
    run_cv(state, [](const cv::Mat &s, cv::Mat &d) { cv::medianBlur(s, d, 5); });
}
BENCHMARK(BM_median5_cv)->Name("median5/opencv");

void BM_box3_cv(benchmark::State &state) {
    run_cv(state, [](const cv::Mat &s, cv::Mat &d) {
        cv::blur(s, d, cv::Size(3, 3), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    });
}
BENCHMARK(BM_box3_cv)->Name("box3/opencv");

void BM_gauss3_cv(benchmark::State &state) {
    run_cv(state, [](const cv::Mat &s, cv::Mat &d) {
        cv::GaussianBlur(s, d, cv::Size(3, 3), 0, 0, cv::BORDER_REPLICATE);
    });
}
BENCHMARK(BM_gauss3_cv)->Name("gauss3/opencv");

using nxbench::CvFlypix;

void BM_flypix_cv(benchmark::State &state) {
    CvFlypix flypix;
    run_cv(state, [&](const cv::Mat &s, cv::Mat &d) { flypix(s, d); });
}
BENCHMARK(BM_flypix_cv)->Name("flypix/opencv");

void BM_fhole3_cv(benchmark::State &state) {
    cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    run_cv(state, [&](const cv::Mat &s, cv::Mat &d) {
        cv::dilate(s, d, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    });
}
BENCHMARK(BM_fhole3_cv)->Name("fhole3/opencv");

void BM_fhole5_cv(benchmark::State &state) {
    cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5));
    run_cv(state, [&](const cv::Mat &s, cv::Mat &d) {
        cv::dilate(s, d, kernel, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
    });
}
BENCHMARK(BM_fhole5_cv)->Name("fhole5/opencv");

void BM_chain_cv(benchmark::State &state) {
    nxbench::CvChain chain;
    run_cv(state, [&](const cv::Mat &s, cv::Mat &d) { chain(s, d); });
}
BENCHMARK(BM_chain_cv)->Name("chain/opencv");

#ifdef NIVEX_BENCH_OPENCV_CALIB3D
void BM_lensmap_cv(benchmark::State &state) {
    epc_lens_param lens = default_lens();
    cv::Mat k = (cv::Mat_<double>(3, 3) << lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1);
    cv::Mat dist(1, 5, CV_64F, lens.dcoeff);
    cv::Mat map_x, map_y;
    for (auto _ : state) {
        cv::Mat new_k = cv::getOptimalNewCameraMatrix(k, dist, cv::Size(kW, kH), 1.0);
        cv::initUndistortRectifyMap(k, dist, cv::Mat(), new_k, cv::Size(kW, kH), CV_32FC1, map_x,
                                    map_y);
        benchmark::DoNotOptimize(map_x.data);
    }
    frame_items(state);
}
BENCHMARK(BM_lensmap_cv)->Name("lensmap/opencv");
#endif

template <int Type, class P>
void remap_cv(benchmark::State &state) {
    const nx_lens_map &map = lens_map();
    cv::Mat map_x(kH, kW, CV_32F, map.map_x), map_y(kH, kW, CV_32F, map.map_y);
    cv::Mat src;
    cv_frame().convertTo(src, Type);
    cv::Mat dst;
    cv::remap(src, dst, map_x, map_y, cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
    for (auto _ : state) {
        cv::remap(src, dst, map_x, map_y, cv::INTER_NEAREST, cv::BORDER_CONSTANT, 0);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    frame_items(state);
}
BENCHMARK(remap_cv<CV_16U, uint16_t>)->Name("remap_u16/opencv");
BENCHMARK(remap_cv<CV_32F, float>)->Name("remap_f32/opencv");

#endif  // NIVEX_BENCH_OPENCV

}  // namespace
