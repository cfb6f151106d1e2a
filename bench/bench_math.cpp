// Per-pixel math of the decode against the standard library, over one
// 320x240 frame's worth of inputs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "imgproc/nx_math.h"

namespace {

constexpr size_t kPixels = 320 * 240;

// Differences of 12-bit samples, as the decode feeds the arctangent.
struct PhaseInputs {
    std::vector<int32_t> y, x;
    PhaseInputs() : y(kPixels), x(kPixels) {
        std::mt19937 rng(42);
        std::uniform_int_distribution<int32_t> diff(-4095, 4095);
        for (size_t i = 0; i < kPixels; ++i) {
            y[i] = diff(rng);
            x[i] = diff(rng);
        }
    }
};

const PhaseInputs &phase_inputs() {
    static const PhaseInputs inputs;
    return inputs;
}

std::vector<float> amplitude_inputs() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> sum(0.0f, 8.4e6f);
    std::vector<float> v(kPixels);
    for (float &f : v)
        f = sum(rng);
    return v;
}

void BM_atan2_nx(benchmark::State &state) {
    const PhaseInputs &in = phase_inputs();
    std::vector<int> out(kPixels);
    for (auto _ : state) {
        for (size_t i = 0; i < kPixels; ++i)
            out[i] = nx_math_atan2_i32(in.y[i], in.x[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_atan2_nx)->Name("atan2_frame/nx");

void BM_atan2_std(benchmark::State &state) {
    const PhaseInputs &in = phase_inputs();
    std::vector<int> out(kPixels);
    constexpr float kUnitsPerRad = 30000.0f / (2.0f * 3.14159265f);
    for (auto _ : state) {
        for (size_t i = 0; i < kPixels; ++i) {
            float a = std::atan2(static_cast<float>(in.y[i]), static_cast<float>(in.x[i]));
            out[i] = static_cast<int>(a * kUnitsPerRad);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_atan2_std)->Name("atan2_frame/std::atan2");

void BM_sqrt_nx(benchmark::State &state) {
    std::vector<float> in = amplitude_inputs(), out(kPixels);
    for (auto _ : state) {
        for (size_t i = 0; i < kPixels; ++i)
            out[i] = nx_math_sqrtf(in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_sqrt_nx)->Name("sqrt_frame/nx");

void BM_sqrt_std(benchmark::State &state) {
    std::vector<float> in = amplitude_inputs(), out(kPixels);
    for (auto _ : state) {
        for (size_t i = 0; i < kPixels; ++i)
            out[i] = std::sqrt(in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kPixels);
}
BENCHMARK(BM_sqrt_std)->Name("sqrt_frame/std::sqrt");

}  // namespace
