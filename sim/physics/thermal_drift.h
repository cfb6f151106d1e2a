// How the camera's temperatures change while it runs: from their start
// values, the sensor at the configured rate and the illumination board at
// half of it, within what a camera survives.
#pragma once

#include <utility>

#include "sim/camera/wire.h"

namespace nxsim::physics {

class ThermalDrift {
  public:
    // rate: 0.1 degC per minute; temperatures in 0.1 degC.
    ThermalDrift(int16_t sensor, int16_t board, double rate, TimePoint start)
        : sensor_(sensor), board_(board), rate_(rate), start_(start) {}
    bool drifting() const { return rate_ != 0; }
    // The temperatures at `now`: (sensor, board).
    std::pair<int16_t, int16_t> at(TimePoint now) const;
    // Drifts on from these temperatures.
    void restart(TimePoint now, int16_t sensor, int16_t board);

  private:
    int16_t sensor_;
    int16_t board_;
    double rate_;
    TimePoint start_;
};

}  // namespace nxsim::physics
