// The per-pixel arithmetic, one pixel at a time: the reference that the
// vector forms are checked against, and what they use for leftover pixels.
#include <algorithm>
#include <cmath>

#include "common/byte_order.h"
#include "drivers/epc/epc_pixel.h"
#include "imgproc/nx_math.h"

namespace nx::epc::scalar {
namespace {

// Out-of-range floats must never reach an integer conversion.
constexpr float kIntLimit = 1073741824.0f;  // 2^30

// A distance wrapped once into the unambiguous range. Only absurd calibration
// values leave it outside after that; they are held at the range's ends,
// where the range check marks them.
uint16_t wrap_into_range(int64_t d, uint32_t range_mm) {
    const auto range = static_cast<int64_t>(range_mm);
    if (d < 0)
        d += range;
    else if (d > range)
        d -= range;
    return static_cast<uint16_t>(std::clamp<int64_t>(d, 0, range));
}

}  // namespace

Sample sample(const uint8_t *raw, size_t n, size_t i) {
    uint16_t p[4];
    for (size_t k = 0; k < 4; ++k)
        p[k] = nx::load_le16(raw + 2 * (k * n + i)) & kSampleMask;
    Sample s;
    const uint16_t high = std::max({p[0], p[1], p[2], p[3]});
    const uint16_t low = std::min({p[0], p[1], p[2], p[3]});
    s.measured = high < kSampleMax && low != 0;
    const int32_t a = p[2] - p[0];
    const int32_t b = p[3] - p[1];
    const auto power = static_cast<float>((a * a + b * b) >> 2);
    s.amplitude = static_cast<uint16_t>(static_cast<int32_t>(nx_math_sqrtf(power)));
    s.phase = (nx_math_atan2_i32(b, a) + kHalfTurn) % kPhaseTurn;
    return s;
}

uint16_t linear_distance(int32_t phase, const LinearCalib &calib) {
    const int64_t base = static_cast<int64_t>(phase) * calib.range_mm / kPhaseTurn;
    const int64_t d = base * calib.scale_permille / 1000 + calib.add_mm;
    return wrap_into_range(d, calib.range_mm);
}

// The segment of the pixel's table is picked by proportion: with the phases
// evenly spread between the first (F) and the last (E) entry, segment k
// holds the phase. Within it the distance is interpolated linearly; a flat
// segment (two equal entries) gives its start.
uint16_t drnu_distance(int32_t phase, const uint16_t *entries, const DrnuCalib &calib) {
    int32_t j = static_cast<int32_t>(static_cast<float>(phase) - calib.temp_term);
    const int32_t first = entries[0];
    const int32_t last = entries[calib.k - 1];
    if (last > first) {
        const int32_t k = (j - first) * (calib.k - 1) / (last - first);
        const int32_t seg = std::clamp(k, 0, calib.k - 2);
        const int32_t lo = entries[seg];
        const int32_t hi = entries[seg + 1];
        const float s = calib.step_phase;
        float t = static_cast<float>(seg) * s;
        if (hi != lo)
            t = s * static_cast<float>(j - lo) / static_cast<float>(hi - lo) +
                static_cast<float>(seg) * s;
        t = std::clamp(t, -kIntLimit, kIntLimit);
        j = static_cast<int32_t>(t) + calib.offset_phase;
    }
    return wrap_into_range(static_cast<int64_t>(j) * calib.range_mm / kPhaseTurn, calib.range_mm);
}

void gray(const uint8_t *raw, size_t n, uint16_t *gray) {
    for (size_t i = 0; i < n; ++i) {
        const Sample s = sample(raw, n, i);
        gray[i] = s.measured ? s.amplitude : 0;
    }
}

void distance_linear(const uint8_t *raw, size_t n, const LinearCalib &calib, uint16_t *dist,
                     uint16_t *amp) {
    for (size_t i = 0; i < n; ++i) {
        const Sample s = sample(raw, n, i);
        dist[i] = s.measured ? linear_distance(s.phase, calib) : kNotMeasured;
        amp[i] = s.measured ? s.amplitude : kNotMeasured;
    }
}

void distance_drnu(const uint8_t *raw, size_t n, const DrnuCalib &calib, uint16_t *dist,
                   uint16_t *amp) {
    const auto k = static_cast<size_t>(calib.k);
    for (size_t i = 0; i < n; ++i) {
        const Sample s = sample(raw, n, i);
        dist[i] = s.measured ? drnu_distance(s.phase, calib.lut + i * k, calib) : kNotMeasured;
        amp[i] = s.measured ? s.amplitude : 0;
    }
}

}  // namespace nx::epc::scalar
