// Colour images for display: a float image in metres through the colour map,
// written in one of three pixel layouts.
#include <algorithm>

#include "api/colour_pixels.h"
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
    nx::colour_pixels(cmap, src, pixels, outfmt, static_cast<uint8_t *>(dst));
    return pixels;
}
