// Colour images for display: a float image in metres through the colour map,
// written in one of three pixel layouts.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "api/colour_range.h"
#include "api/float_to_int.h"
#include "common/nx_log.h"
#include "imgproc/nx_cmap.h"

namespace {

constexpr const char *kFn = "nivex_cmap_float";

int bytes_per_pixel(int outfmt) {
    switch (outfmt) {
        case NIVEX_CMAP_OUTFMT_3B:
        case NIVEX_CMAP_OUTFMT_3B_SWAP:
            return 3;
        case NIVEX_CMAP_OUTFMT_U32:
            return 4;
        default:
            return 0;
    }
}

// Millimetres of a pixel value, truncated. A value that is no number is
// below every range (black); values beyond the int range clamp to its ends,
// which lie beyond every range the map can hold.
int pixel_mm(float metres) {
    if (!(metres == metres)) return INT_MIN;
    return nx::trunc_to_int(metres * 1000.0f);
}

template <int kOutFmt>
void colour_pixels(uint8_t *out, const float *src, int count, const nx_cmap &cmap) {
    for (int i = 0; i < count; ++i) {
        const uint32_t c = nx::cmap_color(cmap, pixel_mm(src[i]));
        if constexpr (kOutFmt == NIVEX_CMAP_OUTFMT_U32) {
            std::memcpy(out + 4 * static_cast<size_t>(i), &c, sizeof c);
        } else {
            uint8_t *p = out + 3 * static_cast<size_t>(i);
            const bool swap = kOutFmt == NIVEX_CMAP_OUTFMT_3B_SWAP;
            p[0] = static_cast<uint8_t>(swap ? c >> 16 : c);
            p[1] = static_cast<uint8_t>(c >> 8);
            p[2] = static_cast<uint8_t>(swap ? c : c >> 16);
        }
    }
}

}  // namespace

extern "C" int nivex_cmap_float(void *dst, int dst_len, const float *src, int src_len, int outfmt,
                                float range_min, float range_max) {
    nx_cmap cmap = nx::colour_map_snapshot();
    nx_cmap_set_range(&cmap, nx::trunc_to_int(range_min * 1000.0f),
                      nx::trunc_to_int(range_max * 1000.0f));
    nx::colour_map_publish(cmap);
    const int bytes = bytes_per_pixel(outfmt);
    if (bytes == 0) {
        NX_ERR(kFn, "[%s] wrong outfmt: %d\n", outfmt);
        return 0;
    }
    const int pixels = std::min(src_len, dst_len / bytes);
    if (pixels <= 0) return pixels;
    if (dst == nullptr || src == nullptr) {
        NX_ERR(kFn, "[%s] wrong params: dst=%p, src=%p\n", dst, static_cast<const void *>(src));
        return 0;
    }
    uint8_t *out = static_cast<uint8_t *>(dst);
    switch (outfmt) {
        case NIVEX_CMAP_OUTFMT_3B:
            colour_pixels<NIVEX_CMAP_OUTFMT_3B>(out, src, pixels, cmap);
            break;
        case NIVEX_CMAP_OUTFMT_U32:
            colour_pixels<NIVEX_CMAP_OUTFMT_U32>(out, src, pixels, cmap);
            break;
        default:
            colour_pixels<NIVEX_CMAP_OUTFMT_3B_SWAP>(out, src, pixels, cmap);
            break;
    }
    return pixels;
}
