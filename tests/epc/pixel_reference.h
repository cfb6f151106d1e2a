// An independent reference of the EPC per-pixel arithmetic, written from the
// formulas: phase and amplitude from the four samples, then the simple, the
// uncalibrated and the per-pixel (DRNU) distance.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "epc_fixture.h"
#include "imgproc/nx_math.h"

namespace epctest::ref {

struct Pixel {
    bool measured = false;
    int amplitude = 0;
    int phase = 0;
};

inline Pixel pixel(Samples s) {
    for (uint16_t &v : s)
        v &= 0xFFF;
    Pixel p;
    p.measured =
        *std::max_element(s.begin(), s.end()) < 4095 && *std::min_element(s.begin(), s.end()) > 0;
    const int a = s[2] - s[0];
    const int b = s[3] - s[1];
    p.amplitude = static_cast<int>(nx_math_sqrtf(static_cast<float>((a * a + b * b) / 4)));
    p.phase = (nx_math_atan2_i32(b, a) + 15000) % 30000;
    return p;
}

inline Samples samples_at(const Image &raw, size_t n, size_t i) {
    return {raw[i], raw[n + i], raw[2 * n + i], raw[3 * n + i]};
}

inline int wrap(long long d, long long range) {
    if (d < 0) return static_cast<int>(d + range);
    if (d > range) return static_cast<int>(d - range);
    return static_cast<int>(d);
}

// d = (phase x range / 30000) x scale / 1000 + offset, wrapped.
inline int none_distance(int phase, int range, int scale, int offset) {
    const long long base = 1LL * phase * range / 30000;
    return wrap(base * scale / 1000 + offset, range);
}

// The simple routine: the calibration line, 50 mm, less the temperature
// compensation rounded half away from zero.
inline int simple_distance(int phase, int range, int scale, int offset, float comp) {
    return none_distance(phase, range, scale, offset + 50 - static_cast<int>(std::lround(comp)));
}

struct Drnu {
    int range = 0;
    float temp_term = 0;
    float step = 0;
    int offset_phase = 0;
};

// The per-pixel routine for one pixel's table `e` of K entries.
inline int drnu_distance(int phase, const std::vector<uint16_t> &e, const Drnu &d) {
    int j = static_cast<int>(static_cast<float>(phase) - d.temp_term);
    const int k_max = static_cast<int>(e.size()) - 1;
    if (e.back() > e.front()) {
        int k = (j - e.front()) * k_max / (e.back() - e.front());
        int seg = k < 0 ? 0 : (k >= k_max ? k_max - 1 : k);
        const int lo = e[static_cast<size_t>(seg)], hi = e[static_cast<size_t>(seg) + 1];
        const float base = static_cast<float>(seg) * d.step;
        const float t =
            lo == hi ? base
                     : d.step * static_cast<float>(j - lo) / static_cast<float>(hi - lo) + base;
        j = static_cast<int>(t) + d.offset_phase;
    }
    return wrap(1LL * j * d.range / 30000, d.range);
}

// Readout row r lands in image row H/2 - 1 - r/2 (r even) or H/2 + (r-1)/2.
inline int image_row(int r, int h) {
    return r % 2 == 0 ? h / 2 - 1 - r / 2 : h / 2 + (r - 1) / 2;
}

inline Image sorted(const Image &readout, int w, int h) {
    Image image(readout.size());
    for (int r = 0; r < h; ++r)
        std::copy_n(readout.begin() + r * w, w, image.begin() + image_row(r, h) * w);
    return image;
}

}  // namespace epctest::ref
