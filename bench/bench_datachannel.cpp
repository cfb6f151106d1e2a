// Download and upload of 1 MB over the data channel against the simulated
// camera at unlimited link rate, through the public API.
//
//  data_download/nx, data_upload/nx: the whole procedure; reports control
//    transfers per second (every request and status query) and MB/s.
//  data_download/transfers_only, data_upload/transfers_only: the yardstick,
//    as many bare 13-byte requests with their status queries as the
//    procedure makes, so the ratio shows what the procedure costs beyond its
//    exchanges (about 1: nothing).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/nx_log.h"
#include "ll/ll_ops.h"
#include "nivex.h"
#include "sim/camsim.h"

namespace {

constexpr uint32_t kImageBytes = 1 << 20;
constexpr uint32_t kType = 5;  // no restart and no settling time afterwards

// One open camera and a scratch folder for the duration of a benchmark.
class DataRig {
  public:
    DataRig() {
        nxsim::reset();
        nivex_init("/dev/null");
        nx_log_disable();
        nxsim::CameraConfig config;
        config.product = "NVX-T0-1.0";
        config.link_rate = nxsim::kUnlimitedLink;
        config.data_block = nxsim::data_block_pattern(kImageBytes);
        camera_ = nxsim::add_camera(config);
        dev_ = nivex_dev_open(nullptr);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "nivex-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
        image_ = file("image.bin");
        std::vector<uint8_t> bytes = nxsim::data_block_pattern(kImageBytes);
        bytes[0] ^= 0xFF;
        if (std::FILE *out = std::fopen(image_.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), out);
            std::fclose(out);
        }
    }
    ~DataRig() {
        nivex_dev_close(dev_);
        nivex_uninit();
        nxsim::reset();
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    DataRig(const DataRig &) = delete;
    DataRig &operator=(const DataRig &) = delete;

    bool ok() const { return dev_ != nullptr && !dir_.empty(); }
    nivex_device *dev() const { return dev_; }
    nxsim::Camera &camera() { return camera_; }
    std::string file(const char *name) const { return (dir_ / name).string(); }
    const std::string &image() const { return image_; }
    uint64_t transfers() const {
        nxsim::CameraCounters c = camera_.counters();
        return uint64_t{c.commands} + c.status_queries;
    }

  private:
    nxsim::Camera camera_;
    nivex_device *dev_ = nullptr;
    std::filesystem::path dir_;
    std::string image_;
};

void report(benchmark::State &state, uint64_t transfers, uint64_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["transfers_per_s"] =
        benchmark::Counter(static_cast<double>(transfers), benchmark::Counter::kIsRate);
    state.counters["MB_per_s"] =
        benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
    state.counters["transfers_per_run"] =
        state.iterations() > 0 ? static_cast<double>(transfers) / state.iterations() : 0;
}

bool download(DataRig &rig) {
    rig.camera().set_data_version(0);
    return nivex_firmware_upgrade(rig.dev(), kType, 1, rig.image().c_str()) == 1;
}

bool upload(DataRig &rig) {
    return nivex_data_upload(rig.dev(), 0, rig.file("upload.bin").c_str()) == 1;
}

// Control transfers one run of `procedure` makes.
template <typename Procedure>
uint64_t transfers_of(DataRig &rig, Procedure procedure) {
    const uint64_t before = rig.transfers();
    if (!procedure(rig)) return 0;
    rig.camera().clear_wire_log();
    return rig.transfers() - before;
}

template <typename Procedure>
void run_procedure(benchmark::State &state, Procedure procedure) {
    DataRig rig;
    if (!rig.ok()) {
        state.SkipWithError("cannot open the simulated camera");
        return;
    }
    uint64_t transfers = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rig.camera().clear_wire_log();  // a megabyte of records per run
        const uint64_t before = rig.transfers();
        state.ResumeTiming();
        if (!procedure(rig)) {
            state.SkipWithError("transfer failed");
            break;
        }
        transfers += rig.transfers() - before;
    }
    report(state, transfers, static_cast<uint64_t>(state.iterations()) * kImageBytes);
}

// The same number of transfers as one run of `procedure`, as bare requests
// with their status queries.
template <typename Procedure>
void run_transfers_only(benchmark::State &state, Procedure procedure) {
    DataRig rig;
    if (!rig.ok()) {
        state.SkipWithError("cannot open the simulated camera");
        return;
    }
    const uint64_t per_run = transfers_of(rig, procedure);
    ll_device *ll = rig.dev()->handle;
    uint8_t request[13] = {};
    uint64_t transfers = 0;
    for (auto _ : state) {
        state.PauseTiming();
        rig.camera().clear_wire_log();
        state.ResumeTiming();
        for (uint64_t i = 0; i < per_run / 2; ++i) {
            if (!nivex_ll_exe_cmd(ll, 1, 0xCC, 4, request, sizeof request, 1000) ||
                !nivex_ll_check_last_cmd(ll, 0xCC, 4)) {
                state.SkipWithError("exchange failed");
                return;
            }
        }
        transfers += per_run / 2 * 2;
    }
    report(state, transfers, static_cast<uint64_t>(state.iterations()) * kImageBytes);
}

void BM_download(benchmark::State &state) {
    run_procedure(state, download);
}
void BM_download_transfers(benchmark::State &state) {
    run_transfers_only(state, download);
}
void BM_upload(benchmark::State &state) {
    run_procedure(state, upload);
}
void BM_upload_transfers(benchmark::State &state) {
    run_transfers_only(state, upload);
}

BENCHMARK(BM_download)
    ->Name("data_download/nx")
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_download_transfers)
    ->Name("data_download/transfers_only")
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_upload)
    ->Name("data_upload/nx")
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_upload_transfers)
    ->Name("data_upload/transfers_only")
    ->UseRealTime()
    ->MinTime(2.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace
