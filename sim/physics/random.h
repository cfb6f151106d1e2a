// Seeded random numbers for the sensor model: a small fast generator and
// normally distributed noise from a table of the normal distribution's
// quantiles (one table look-up per draw).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nxsim::physics {

class SplitMix {
  public:
    explicit SplitMix(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  private:
    uint64_t state_;
};

// Standard normal draws, four from each 64-bit random number.
class NormalNoise {
  public:
    explicit NormalNoise(uint64_t seed) : rng_(seed) {}
    float next() {
        if (left_ == 0) {
            bits_ = rng_.next();
            left_ = 4;
        }
        const auto index = static_cast<uint16_t>(bits_) >> (16 - kTableBits);
        bits_ >>= 16;
        --left_;
        return table()[index];
    }

  private:
    static constexpr int kTableBits = 12;
    using Table = std::array<float, size_t{1} << kTableBits>;
    static const Table &table();

    SplitMix rng_;
    uint64_t bits_ = 0;
    int left_ = 0;
};

}  // namespace nxsim::physics
