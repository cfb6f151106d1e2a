// Distance and gray images from raw frames: the chip driver decodes a frame
// into 16-bit codes (millimetres or gray values), which are expanded into the
// caller's float image.
//
// The conversion needs no memory of its own: the driver writes the 16-bit
// image into the upper half of the caller's float buffer, from float index
// dst_len / 2 on, and the samples are then expanded front to back into the
// whole buffer. Sample i is read from byte 4 * (dst_len / 2) + 2i and written
// to byte 4i, so a write never reaches a sample that is still to be read.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/session.h"
#include "common/nx_log.h"
#include "drivers/chip_driver.h"

namespace {

constexpr const char *kStepFn = "_nivex_frame_get_u16";
constexpr const char *kDistanceFn = "nivex_frame_get_distance";
constexpr const char *kGrayFn = "nivex_frame_get_gray";

// Samples copied out of the 16-bit area before their floats are written.
constexpr size_t kExpandBlock = 1024;

// The checks that need no device: buffers, frame geometry, destination size.
bool request_usable(const char *fn, const float *dst, int dst_len, const void *src,
                    const nivex_frame_meta *finfo) {
    if (dst == nullptr || src == nullptr || finfo == nullptr) {
        NX_ERR(fn, "[%s] wrong params: dst=%p, src=%p, finfo=%p\n", static_cast<const void *>(dst),
               src, static_cast<const void *>(finfo));
        return false;
    }
    if (finfo->width == 0 || finfo->height == 0) {
        NX_ERR(fn, "[%s] wrong frame size: %ux%u\n", finfo->width, finfo->height);
        return false;
    }
    // A negative length is refused too (compared as unsigned it would pass).
    const uint64_t pixels = uint64_t{finfo->width} * finfo->height;
    if (dst_len < 0 || static_cast<uint64_t>(dst_len) < pixels) {
        NX_ERR(fn, "[%s] wrong dst_len: %d (wxh=%dx%d)\n", dst_len, static_cast<int>(finfo->width),
               static_cast<int>(finfo->height));
        return false;
    }
    return true;
}

// Expands `count` samples of the 16-bit area at `area` into dst[0..count).
// Each block is copied out before any of its floats is written.
template <int kKind>
void expand(float *dst, const uint8_t *area, size_t count) {
    uint16_t block[kExpandBlock];
    for (size_t at = 0; at < count; at += kExpandBlock) {
        const size_t n = std::min(kExpandBlock, count - at);
        std::memcpy(block, area + 2 * at, 2 * n);
        float *out = dst + at;
        for (size_t i = 0; i < n; ++i) {
            if constexpr (kKind == NX_DECODE_DISTANCE)
                out[i] = static_cast<float>(block[i]) / 1000.0f;
            else
                out[i] = static_cast<float>(block[i]);
        }
    }
}

int decode_into(chip_driver *drv, int kind, float *dst, int dst_len, const void *src, int src_len,
                const nivex_frame_meta *finfo) {
    if (drv == nullptr || drv->ops == nullptr || drv->ops->frame_decode == nullptr) {
        NX_ERR(kStepFn, "[%s] no frame decode in driver\n");
        return 0;
    }
    if (src_len < 0 || finfo->frame_size > static_cast<uint32_t>(src_len)) {
        NX_ERR(kStepFn, "[%s] raw frame length too small: datalen=%d, frlen=%d\n", src_len,
               static_cast<int>(finfo->frame_size));
        return 0;
    }
    uint8_t *area = reinterpret_cast<uint8_t *>(dst + dst_len / 2);
    const int32_t bytes = drv->ops->frame_decode(
        drv, reinterpret_cast<uint16_t *>(area), 2 * static_cast<uint32_t>(dst_len), kind,
        static_cast<const uint8_t *>(src), static_cast<uint32_t>(src_len), finfo);
    if (bytes < 0) {
        NX_ERR(kStepFn, "[%s] raw frame decode to %d failed: %d\n", kind, bytes);
        return 0;
    }
    const size_t produced = static_cast<size_t>(bytes) / 2;
    const size_t pixels = size_t{finfo->width} * finfo->height;
    const size_t valid = std::min({produced, pixels, static_cast<size_t>(dst_len)});
    if (kind == NX_DECODE_DISTANCE)
        expand<NX_DECODE_DISTANCE>(dst, area, valid);
    else
        expand<NX_DECODE_GRAY>(dst, area, valid);
    // Pixels the driver left out hold no distance rather than scratch bytes.
    std::fill(dst + valid, dst + pixels, 0.0f);
    return static_cast<int>(produced);
}

int frame_get_u16(const char *fn, int kind, nivex_device *dev, float *dst, int dst_len,
                  const void *src, int src_len, const nivex_frame_meta *finfo) {
    if (!request_usable(fn, dst, dst_len, src, finfo)) return 0;
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG(kStepFn, "[%s] Wrong params\n");
        return 0;
    }
    return decode_into(call.session()->drv, kind, dst, dst_len, src, src_len, finfo);
}

}  // namespace

extern "C" {

int nivex_frame_get_distance(nivex_device *dev, float *dst, int dst_len, const void *src,
                             int src_len, const nivex_frame_meta *finfo) {
    return frame_get_u16(kDistanceFn, NX_DECODE_DISTANCE, dev, dst, dst_len, src, src_len, finfo);
}

int nivex_frame_get_gray(nivex_device *dev, float *dst, int dst_len, const void *src, int src_len,
                         const nivex_frame_meta *finfo) {
    return frame_get_u16(kGrayFn, NX_DECODE_GRAY, dev, dst, dst_len, src, src_len, finfo);
}

}  // extern "C"
