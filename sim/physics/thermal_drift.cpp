#include "sim/physics/thermal_drift.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace nxsim::physics {
namespace {

constexpr double kColdest = -400;  // 0.1 degC
constexpr double kHottest = 850;
constexpr double kBoardShare = 0.5;

int16_t drifted(int16_t start, double change) {
    return static_cast<int16_t>(std::lround(std::clamp(start + change, kColdest, kHottest)));
}

}  // namespace

std::pair<int16_t, int16_t> ThermalDrift::at(TimePoint now) const {
    if (!drifting() || now <= start_) return {sensor_, board_};
    const double minutes = std::chrono::duration<double, std::ratio<60>>(now - start_).count();
    const double change = rate_ * minutes;
    return {drifted(sensor_, change), drifted(board_, change * kBoardShare)};
}

void ThermalDrift::restart(TimePoint now, int16_t sensor, int16_t board) {
    sensor_ = sensor;
    board_ = board;
    start_ = now;
}

}  // namespace nxsim::physics
