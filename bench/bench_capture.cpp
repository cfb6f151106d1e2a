// The whole capture path against the simulated camera: simulator ->
// simulated libusb -> USB transport -> stream parser -> capture engine ->
// the caller's buffer.
//
//  capture_throughput: the camera sends as fast as the host takes frames;
//    reports frames and bytes per second, the multiple of the USB 2.0
//    high-speed line rate (53 MB/s), and the frames lost anywhere (must be 0).
//  capture_throughput/recording: the same while a recording appends every
//    fetched frame to a file (no sync): what recording costs the fetch.
//  capture_latency: from a frame's last byte leaving the simulator to
//    nivex_cap_get_frames returning it; median and 99th percentile in us.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/sim_rig.h"

namespace {

using Clock = std::chrono::steady_clock;
using nxbench::Rig;

constexpr double kUsbHighSpeedBytesPerSecond = 53e6;
constexpr char kProduct[] = "NVX-T0-1.0";

nxsim::CameraConfig fast_camera() {
    nxsim::CameraConfig config;
    config.product = kProduct;
    config.mode = nxsim::StreamMode::Fast;
    config.link_rate = nxsim::kUnlimitedLink;
    return config;
}

// With `recording` set every fetched frame is also appended to a recording
// in the temporary folder: the cost a recording adds to the fetch path.
void capture_throughput(benchmark::State &state, bool recording) {
    Rig rig(fast_camera());
    const std::string path =
        (std::filesystem::temp_directory_path() / "nivex_bench_capture.nxr").string();
    if (rig.dev() == nullptr || (recording && !nivex_rec_start(rig.dev(), path.c_str())) ||
        !nivex_cap_start(rig.dev())) {
        state.SkipWithError("cannot open or start the simulated camera");
        return;
    }
    std::vector<uint8_t> frame(8 * NIVEX_FRAME_SLOT_SIZE);
    uint64_t frames = 0, bytes = 0;
    for (auto _ : state) {
        nivex_frame_meta meta{};
        int n = nivex_cap_get_frames(rig.dev(), 1, frame.data(), frame.size(), &meta);
        if (n != 1) {
            state.SkipWithError("fetch failed");
            break;
        }
        ++frames;
        bytes += meta.frame_size;
    }
    nivex_cap_stats stats{};
    nivex_cap_get_stats(rig.dev(), &stats);
    nivex_cap_stop(rig.dev());
    if (recording) {
        nivex_rec_stop(rig.dev());
        std::filesystem::remove(path);
    }
    nxsim::CameraCounters sent = rig.camera().counters();
    state.SetItemsProcessed(static_cast<int64_t>(frames));
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["line_rate_x"] = benchmark::Counter(
        static_cast<double>(bytes) / kUsbHighSpeedBytesPerSecond, benchmark::Counter::kIsRate);
    state.counters["frames_lost"] =
        static_cast<double>(stats.frames_discarded + stats.frames_overflowed + sent.frames_dropped);
}
void BM_capture_throughput(benchmark::State &state) {
    capture_throughput(state, false);
}
BENCHMARK(BM_capture_throughput)->Name("capture_throughput/nx")->UseRealTime()->MinTime(2.0);

void BM_capture_throughput_recording(benchmark::State &state) {
    capture_throughput(state, true);
}
BENCHMARK(BM_capture_throughput_recording)
    ->Name("capture_throughput/recording")
    ->UseRealTime()
    ->MinTime(2.0);

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

void BM_capture_latency(benchmark::State &state) {
    nxsim::CameraConfig config = fast_camera();
    config.mode = nxsim::StreamMode::FrameRate;
    config.frame_rate = 200;
    Rig rig(config);
    if (rig.dev() == nullptr || !nivex_cap_start(rig.dev())) {
        state.SkipWithError("cannot open or start the simulated camera");
        return;
    }
    std::vector<uint8_t> frame(8 * NIVEX_FRAME_SLOT_SIZE);
    // Frames that queued up before the first fetch measure the start, not
    // the hand-out: take them out first.
    for (int i = 0; i < 10; ++i)
        nivex_cap_get_frames(rig.dev(), 1, frame.data(), frame.size(), nullptr);
    while (nivex_cap_get_frame(rig.dev(), frame.data(), frame.size(), nullptr) == 1) {
    }
    std::vector<double> latency_us;
    for (auto _ : state) {
        nivex_frame_meta meta{};
        int n = nivex_cap_get_frames(rig.dev(), 1, frame.data(), frame.size(), &meta);
        Clock::time_point returned = Clock::now();
        if (n != 1) {
            state.SkipWithError("fetch failed");
            break;
        }
        // The frame index counts from the capture start, as the simulator's does.
        if (auto sent = rig.camera().frame_sent_at(meta.frame_idx)) {
            latency_us.push_back(
                std::chrono::duration<double, std::micro>(returned - *sent).count());
        }
    }
    nivex_cap_stop(rig.dev());
    state.counters["median_us"] = percentile(latency_us, 0.5);
    state.counters["p99_us"] = percentile(latency_us, 0.99);
    state.counters["samples"] = static_cast<double>(latency_us.size());
}
BENCHMARK(BM_capture_latency)->Name("capture_latency/nx")->UseRealTime()->Iterations(1000);

}  // namespace
