// Frame conversion and frame files, each next to a yardstick in the same run.
//
//  pcl: a point cloud of a 320x240 distance image (nivex_frame_get_pcl, TI
//    camera with the caller's lens) against the same cloud from OpenCV Mat
//    arithmetic (validity mask, x, y, z, then compaction), the rays of the
//    pixels precomputed once as such code would keep them.
//  cmap: colouring a 320x240 float image (nivex_cmap_float, RGB bytes)
//    against the float-to-8-bit conversion plus cv::applyColorMap.
//  filesave_u16 / fileload_u16: a 100-frame U16 distance file written and
//    read back through the library against writing and reading the same
//    bytes in 1 MiB blocks, as dd does, in the same folder (the system's
//    temporary folder, or NIVEX_BENCH_DIR). Bytes per second are reported.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/sim_rig.h"

#ifdef NIVEX_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kW = 320;
constexpr int kH = 240;
constexpr int kPixels = kW * kH;
constexpr int kFileFrames = 100;
constexpr nivex_lens_param kLens = {157.262f, 122.083f, 210.783f, 204.817f, 1.0f};

// A tilted wall with a box in front of it, noise, and 2% of pixels marked
// low-amplitude, in metres.
const std::vector<float> &distance_image() {
    static const std::vector<float> image = [] {
        std::vector<float> f(kPixels);
        std::mt19937 rng(11);
        std::normal_distribution<float> noise(0.0f, 0.012f);
        std::uniform_int_distribution<int> dropout(0, 49);
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                float d = 2.5f + 0.003f * static_cast<float>(x) + 0.0015f * static_cast<float>(y);
                if (x > 100 && x < 200 && y > 60 && y < 160) d = 1.2f;
                f[static_cast<size_t>(y * kW + x)] = dropout(rng) == 0 ? 65.3f : d + noise(rng);
            }
        }
        return f;
    }();
    return image;
}

nxsim::CameraConfig ti_camera() {
    nxsim::CameraConfig config;
    config.product = "NVX-T0-1.0";
    return config;
}

void BM_pcl_nx(benchmark::State &state) {
    nxbench::Rig rig(ti_camera());
    if (rig.dev() == nullptr) {
        state.SkipWithError("cannot open the simulated camera");
        return;
    }
    const std::vector<float> &dist = distance_image();
    std::vector<float> cloud(3 * kPixels);
    for (auto _ : state) {
        const int n = nivex_frame_get_pcl(rig.dev(), cloud.data(), 3 * kPixels, dist.data(),
                                          kPixels, kW, kH, &kLens);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_pcl_nx)->Name("pcl/nx");

void BM_cmap_nx(benchmark::State &state) {
    nivex_init("/dev/null");
    nx_log_disable();
    const std::vector<float> &src = distance_image();
    std::vector<uint8_t> rgb(3 * kPixels);
    for (auto _ : state) {
        const int n = nivex_cmap_float(rgb.data(), 3 * kPixels, src.data(), kPixels,
                                       NIVEX_CMAP_OUTFMT_3B, 0.5f, 4.0f);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
    nivex_uninit();
}
BENCHMARK(BM_cmap_nx)->Name("cmap/nx");

// A folder for the file benchmarks, removed at the end of the run.
class BenchFolder {
  public:
    BenchFolder() {
        const char *base = std::getenv("NIVEX_BENCH_DIR");
        path_ =
            std::filesystem::path(base != nullptr ? base : std::filesystem::temp_directory_path()) /
            ("nivex_bench_" + std::to_string(getpid()));
        std::filesystem::create_directories(path_);
    }
    ~BenchFolder() { std::filesystem::remove_all(path_); }
    std::string file(const char *name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

const BenchFolder &bench_folder() {
    static const BenchFolder folder;
    return folder;
}

const std::vector<float> &distance_sequence() {
    static const std::vector<float> seq = [] {
        std::vector<float> s;
        s.reserve(static_cast<size_t>(kFileFrames) * kPixels);
        for (int n = 0; n < kFileFrames; ++n)
            s.insert(s.end(), distance_image().begin(), distance_image().end());
        return s;
    }();
    return seq;
}

constexpr int64_t kFileBytes = int64_t{kFileFrames} * kPixels * 2;

void BM_filesave_nx(benchmark::State &state) {
    const std::string path = bench_folder().file("nx_u16.nx");
    const std::vector<float> &seq = distance_sequence();
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int ok = nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_U16, seq.data(),
                                                 static_cast<int>(seq.size()), kW, kH);
        close(fd);
        if (ok != 1) state.SkipWithError("save failed");
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_filesave_nx)->Name("filesave_u16/nx")->UseRealTime();

void BM_fileload_nx(benchmark::State &state) {
    const std::string path = bench_folder().file("nx_u16_load.nx");
    const std::vector<float> &seq = distance_sequence();
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    nivex_frame_save_distance(out, NIVEX_FRAME_SAVE_U16, seq.data(), static_cast<int>(seq.size()),
                              kW, kH);
    close(out);
    std::vector<float> frame(kPixels);
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY);
        int frames = 0;
        while (nivex_frame_load_distance(fd, frame.data(), kPixels, nullptr, nullptr) == kPixels)
            ++frames;
        close(fd);
        if (frames != kFileFrames) state.SkipWithError("load failed");
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_fileload_nx)->Name("fileload_u16/nx")->UseRealTime();

// dd with bs=1M: the same bytes, written and read in 1 MiB blocks.
constexpr size_t kBlock = 1 << 20;

void BM_filesave_dd(benchmark::State &state) {
    const std::string path = bench_folder().file("dd_u16.raw");
    const std::vector<uint8_t> bytes(static_cast<size_t>(kFileBytes), 0x5A);
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (size_t at = 0; at < bytes.size(); at += kBlock) {
            const size_t n = std::min(kBlock, bytes.size() - at);
            if (write(fd, bytes.data() + at, n) != static_cast<ssize_t>(n))
                state.SkipWithError("write failed");
        }
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_filesave_dd)->Name("filesave_u16/dd")->UseRealTime();

void BM_fileload_dd(benchmark::State &state) {
    const std::string path = bench_folder().file("dd_u16_load.raw");
    std::vector<uint8_t> bytes(static_cast<size_t>(kFileBytes), 0x5A);
    const int out = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (write(out, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        state.SkipWithError("write failed");
    close(out);
    std::vector<uint8_t> block(kBlock);
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY);
        while (read(fd, block.data(), block.size()) > 0) {
        }
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kFileBytes);
}
BENCHMARK(BM_fileload_dd)->Name("fileload_u16/dd")->UseRealTime();

#ifdef NIVEX_BENCH_OPENCV

// The straightforward OpenCV cloud: per frame a validity mask, the range,
// the depth along each ray and x, y from it, then the valid points copied
// out in pixel order. The rays (u, v and the norm of (u, v, 1)) depend only
// on the lens and are computed once.
class CvCloud {
  public:
    CvCloud() : u_(kH, kW, CV_32F), v_(kH, kW, CV_32F), norm_(kH, kW, CV_32F) {
        for (int y = 0; y < kH; ++y) {
            for (int x = 0; x < kW; ++x) {
                const float u = (static_cast<float>(x) - kLens.cx) / kLens.fx;
                const float v = (static_cast<float>(y) - kLens.cy) / kLens.fy;
                u_.at<float>(y, x) = u;
                v_.at<float>(y, x) = v;
                norm_.at<float>(y, x) = std::sqrt(1.0f + u * u + v * v);
            }
        }
    }

    int run(const cv::Mat &dist, float *cloud) {
        cv::compare(dist, 0.0, above_, cv::CMP_GT);
        cv::compare(dist, 60.0, below_, cv::CMP_LT);
        cv::bitwise_and(above_, below_, mask_);
        dist.convertTo(range_, CV_32F, kLens.dist_scale);
        cv::divide(range_, norm_, z_);
        cv::multiply(u_, z_, x_);
        cv::multiply(v_, z_, y_);
        int n = 0;
        for (int y = 0; y < kH; ++y) {
            const uint8_t *m = mask_.ptr<uint8_t>(y);
            const float *px = x_.ptr<float>(y), *py = y_.ptr<float>(y), *pz = z_.ptr<float>(y);
            for (int x = 0; x < kW; ++x) {
                if (m[x] == 0) continue;
                cloud[3 * n] = px[x];
                cloud[3 * n + 1] = py[x];
                cloud[3 * n + 2] = pz[x];
                ++n;
            }
        }
        return n;
    }

  private:
    cv::Mat u_, v_, norm_;
    cv::Mat above_, below_, mask_, range_, z_, x_, y_;
};

void BM_pcl_cv(benchmark::State &state) {
    cv::setNumThreads(1);
    const cv::Mat dist(kH, kW, CV_32F, const_cast<float *>(distance_image().data()));
    std::vector<float> cloud(3 * kPixels);
    CvCloud cv_cloud;
    cv_cloud.run(dist, cloud.data());  // allocates the intermediate images once
    for (auto _ : state) {
        benchmark::DoNotOptimize(cv_cloud.run(dist, cloud.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_pcl_cv)->Name("pcl/opencv");

// The range 0.5 .. 4 m onto 0 .. 255, then the colour map.
void BM_cmap_cv(benchmark::State &state) {
    cv::setNumThreads(1);
    const cv::Mat src(kH, kW, CV_32F, const_cast<float *>(distance_image().data()));
    cv::Mat gray, colour;
    const double scale = 255.0 / 3.5, offset = -0.5 * scale;
    for (auto _ : state) {
        src.convertTo(gray, CV_8U, scale, offset);
        cv::applyColorMap(gray, colour, cv::COLORMAP_JET);
        benchmark::DoNotOptimize(colour.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_cmap_cv)->Name("cmap/opencv");

#endif

}  // namespace
