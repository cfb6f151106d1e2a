// Driver for cameras with the TI OPT8241 sensor ("T0").
//
// A raw frame holds one 32-bit word per pixel: the low half carries the
// amplitude, the high half the phase, 12 bits each. The decode produces the
// same 16-bit images as every other driver, so TI frames pass through the
// public conversions unchanged: distance in millimetres over the sensor's
// unambiguous range of 3.122838 m, gray as the 12-bit amplitude code.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "drivers/chip_driver.h"
#include "stream/nx_stream.h"

namespace {

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
constexpr uint8_t kPixelBytes = 4;
constexpr float kCodeScale = 0.000244140625f;  // 1 / 4096
constexpr float kRangeMetres = 3.122838020324707f;

uint16_t distance_mm(uint32_t sample) {
    float metres = static_cast<float>((sample >> 16) & 0xFFF) * kCodeScale * kRangeMetres;
    return static_cast<uint16_t>(std::lround(metres * 1000.0f));
}

uint16_t amplitude(uint32_t sample) {
    return static_cast<uint16_t>(sample & 0xFFF);
}

bool ti_init(chip_driver *drv, nivex_device *dev) {
    drv->dev = dev;
    return true;
}

void ti_uninit(chip_driver *) {}

bool ti_frame_get_info(chip_driver *, nivex_frame_meta *meta, const nx_stream_frame_info *info) {
    *meta = nivex_frame_meta{};
    meta->frame_size = info->frlen;
    meta->frame_format = info->frfmt;
    meta->frame_idx = info->fridx;
    meta->width = kWidth;
    meta->height = kHeight;
    meta->pixel_bytes = kPixelBytes;
    return true;
}

int32_t ti_frame_decode(chip_driver *, uint16_t *dst, uint32_t dst_bytes, int kind,
                        const uint8_t *src, uint32_t src_len, const nivex_frame_meta *meta) {
    if (kind != NX_DECODE_DISTANCE && kind != NX_DECODE_GRAY) return -1;
    uint32_t pixels = std::min(src_len / kPixelBytes, dst_bytes / 2);
    for (uint32_t k = 0; k < pixels; ++k) {
        uint32_t sample;
        std::memcpy(&sample, src + static_cast<size_t>(k) * kPixelBytes, sizeof sample);
        dst[k] = kind == NX_DECODE_DISTANCE ? distance_mm(sample) : amplitude(sample);
    }
    (void)meta;
    return static_cast<int32_t>(pixels * 2);
}

int ti_spare1(chip_driver *) {
    return 0;
}
int ti_spare2(chip_driver *, void *, int value, int) {
    return value;
}
int ti_calib_load(chip_driver *, int, int arg1, int) {
    return arg1;
}
int ti_spare3(chip_driver *) {
    return 1;
}

}  // namespace

extern "C" const chip_driver_ops g_nivex_driver_op_ti = {
    .init = ti_init,
    .uninit = ti_uninit,
    .frame_get_info = ti_frame_get_info,
    .frame_decode = ti_frame_decode,
    .lens_param_get = nullptr,
    .spare1 = ti_spare1,
    .spare2 = ti_spare2,
    .calib_load = ti_calib_load,
    .spare3 = ti_spare3,
    .filter_enable = nullptr,
    .filter_disable = nullptr,
};
