// The sensor's distance-response non-uniformity: every pixel measures a
// little off, by an amount that changes smoothly with distance and differs
// from pixel to pixel. It belongs to the chip (the factory measures it), so
// it is seeded by the chip's identity, not by the noise seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nxsim::physics {

class DrnuError {
  public:
    DrnuError(double peak_mm, uint64_t chip_seed, size_t pixels);
    // The error (mm) of pixel p (top to bottom) at true distance d_mm; its
    // magnitude never exceeds the peak.
    double at(size_t pixel, double distance_mm) const;

  private:
    struct Pixel {
        float swing;      // 0.5 .. 1
        float period_mm;  // 4 .. 7 m
        float phase;      // radians
        float offset;     // -1 .. 1
    };
    double peak_mm_;
    std::vector<Pixel> pixels_;
};

}  // namespace nxsim::physics
