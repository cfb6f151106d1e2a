#include "drivers/epc/epc_image_steps.h"

#include <cstring>

namespace nx::epc {
namespace {

constexpr uint16_t kNearLimitMm = 100;

}  // namespace

void hdr_merge(uint16_t *follow, uint16_t *decide, int width, int height) {
    const auto w = static_cast<size_t>(width);
    for (int row = 0; row + 1 < height; row += 2) {
        uint16_t *f0 = follow + static_cast<size_t>(row) * w;
        uint16_t *d0 = decide + static_cast<size_t>(row) * w;
        uint16_t *f1 = f0 + w;
        uint16_t *d1 = d0 + w;
        for (size_t x = 0; x < w; ++x) {
            if (static_cast<int16_t>(d0[x]) > static_cast<int16_t>(d1[x])) {
                f1[x] = f0[x];
                d1[x] = d0[x];
            } else {
                f0[x] = f1[x];
                d0[x] = d1[x];
            }
        }
    }
}

void range_check(uint16_t *dist, size_t n, uint32_t range_mm) {
    for (size_t i = 0; i < n; ++i) {
        const uint16_t v = dist[i];
        const bool out = v <= kNearLimitMm || v >= range_mm;
        if (v <= kMaxDistance && out) dist[i] = kLowAmplitude;
    }
}

}  // namespace nx::epc
