// The accuracy table of the EPC decode: decoded distances of a simulated
// camera against the simulator's ground truth, per pixel, for a wall at
// 0.5, 1.5, 3 and 6 m, simple against per-pixel calibration, sensor noise
// off and on, and a sensor warming by 5 degC. Each benchmark runs the
// accuracy tests' harness once and reports its figures as counters (mm);
// their time is of no interest.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include <unistd.h>

#include "common/nx_log.h"
#include "tests/epc/accuracy_harness.h"

namespace {

using epcaccuracy::ErrorStats;
using epcaccuracy::FrameFigures;
using epcaccuracy::Scenario;

void report(benchmark::State &state, const char *prefix, const ErrorStats &s) {
    const std::string p(prefix);
    state.counters[p + "_mean"] = s.mean;
    state.counters[p + "_rms"] = s.rms;
    state.counters[p + "_p99"] = s.p99;
}

void run_scenario(benchmark::State &state, const Scenario &scenario) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("nivex_bench_accuracy_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    nxsim::reset();
    nivex_init("/dev/null");
    nx_log_disable();
    nivex_path_cfg((dir.string() + "/").c_str());
    epcaccuracy::Figures f;
    for (auto _ : state) {
        epcaccuracy::Run run(scenario, dir.string() + "/");
        f = run.figures();
    }
    nivex_uninit();
    nxsim::reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (!f.error.empty() || f.frames.empty()) {
        state.SkipWithError(f.error.empty() ? "no frames" : f.error.c_str());
        return;
    }
    report(state, "simple", f.mean_of(&FrameFigures::simple));
    report(state, "pixel", f.mean_of(&FrameFigures::drnu));
    state.counters["atan_floor"] = f.floor_mm();
    if (scenario.drift == 0) return;
    double worst = 0, uncompensated = 0;
    const double start = f.frames.front().drnu.mean;
    for (const FrameFigures &frame : f.frames) {
        worst = std::max(worst, std::abs(frame.drnu.mean - start));
        uncompensated = std::max(uncompensated, std::abs(frame.uncompensated.mean - start));
    }
    state.counters["warmed_degC"] =
        (f.frames.back().sensor_temp - f.frames.front().sensor_temp) / 10.0;
    state.counters["mean_moved"] = worst;
    state.counters["uncomp_moved"] = uncompensated;
}

void BM_accuracy(benchmark::State &state) {
    Scenario s;
    s.wall_mm = static_cast<double>(state.range(0));
    s.noise = state.range(1) != 0;
    s.frames = s.noise ? 5 : 2;
    run_scenario(state, s);
}
BENCHMARK(BM_accuracy)
    ->Name("epc_accuracy/wall_mm,noise")
    ->ArgsProduct({{500, 1500, 3000, 6000}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_accuracy_warming(benchmark::State &state) {
    Scenario s;
    s.wall_mm = 1500;
    s.drift = 3000;  // 5 degC in about a second
    s.warm_by = 50;
    run_scenario(state, s);
}
BENCHMARK(BM_accuracy_warming)
    ->Name("epc_accuracy/warming_by_5degC")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
