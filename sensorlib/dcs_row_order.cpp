#include "sensorlib/dcs_row_order.h"

#include <algorithm>
#include <cstddef>

namespace nx {
namespace {

bool usable(const uint16_t *dst, const uint16_t *src, int width, int height) {
    return dst != nullptr && src != nullptr && dst != src && width > 0 && height > 0 &&
           height % 2 == 0;
}

// Image row of readout row r.
int image_row(int r, int height) {
    return r % 2 == 0 ? height / 2 - 1 - r / 2 : height / 2 + (r - 1) / 2;
}

void copy_row(uint16_t *dst, int dst_row, const uint16_t *src, int src_row, int width) {
    const size_t w = static_cast<size_t>(width);
    std::copy_n(src + static_cast<size_t>(src_row) * w, w, dst + static_cast<size_t>(dst_row) * w);
}

}  // namespace

bool dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (!usable(dst, src, width, height)) return false;
    for (int r = 0; r < height; ++r)
        copy_row(dst, image_row(r, height), src, r, width);
    return true;
}

bool dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height) {
    if (!usable(dst, src, width, height)) return false;
    for (int r = 0; r < height; ++r)
        copy_row(dst, r, src, image_row(r, height), width);
    return true;
}

}  // namespace nx

extern "C" {

void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height) {
    nx::dcs_sort(dst, src, width, height);
}

void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height) {
    nx::dcs_unsort(dst, src, width, height);
}
}
