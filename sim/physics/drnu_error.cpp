#include "sim/physics/drnu_error.h"

#include <cmath>
#include <numbers>

#include "sim/physics/random.h"

namespace nxsim::physics {
namespace {

constexpr double kSwingShare = 0.6;   // of the peak: the distance-dependent part
constexpr double kOffsetShare = 0.4;  // of the peak: the pixel's constant part

}  // namespace

DrnuError::DrnuError(double peak_mm, uint64_t chip_seed, size_t pixels)
    : peak_mm_(peak_mm), pixels_(pixels) {
    SplitMix rng(chip_seed);
    for (Pixel &p : pixels_) {
        p.swing = static_cast<float>(0.5 + 0.5 * rng.unit());
        p.period_mm = static_cast<float>(4000 + 3000 * rng.unit());
        p.phase = static_cast<float>(2 * std::numbers::pi * rng.unit());
        p.offset = static_cast<float>(2 * rng.unit() - 1);
    }
}

double DrnuError::at(size_t pixel, double distance_mm) const {
    if (peak_mm_ == 0) return 0;
    const Pixel &p = pixels_[pixel];
    const double wave = std::sin(2 * std::numbers::pi * distance_mm / p.period_mm + p.phase);
    return peak_mm_ * (kSwingShare * p.swing * wave + kOffsetShare * p.offset);
}

}  // namespace nxsim::physics
