// Colour images for display: a float image in metres through the colour map,
// written in one of three pixel layouts.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/colour_pixels.h"
#include "api/colour_range.h"
#include "api/float_to_int.h"
#include "common/nx_bytes.h"
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

constexpr int kBlock = 256;

// Writes n colours in the layout, pixel by pixel: 3-byte layouts as the
// low three bytes of a little-endian word (B, G, R after a byte swap), each
// word written whole except where it would pass the end of the image.
template <int kOutFmt>
void write_layout(uint8_t *out, const uint32_t *colours, int n, bool last_block) {
    if constexpr (kOutFmt == NIVEX_CMAP_OUTFMT_U32) {
        std::memcpy(out, colours, 4 * static_cast<size_t>(n));
    } else {
        const int whole = last_block ? n - 1 : n;
        for (int i = 0; i < n; ++i) {
            uint32_t c = colours[i];
            if constexpr (kOutFmt == NIVEX_CMAP_OUTFMT_3B_SWAP) c = __builtin_bswap32(c) >> 8;
            uint8_t *p = out + 3 * static_cast<size_t>(i);
            if (i < whole) {
                nx::store_le32(p, c);
            } else {
                p[0] = static_cast<uint8_t>(c);
                p[1] = static_cast<uint8_t>(c >> 8);
                p[2] = static_cast<uint8_t>(c >> 16);
            }
        }
    }
}

template <int kOutFmt>
void colour_image(uint8_t *out, const float *src, int pixels, const nx_cmap &cmap) {
    constexpr size_t kBytes = kOutFmt == NIVEX_CMAP_OUTFMT_U32 ? 4 : 3;
    uint32_t colours[kBlock];
    for (int at = 0; at < pixels; at += kBlock) {
        const int n = std::min(kBlock, pixels - at);
        nx::colour_pixels(cmap, src + at, n, colours);
        write_layout<kOutFmt>(out + kBytes * static_cast<size_t>(at), colours, n, at + n == pixels);
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
            colour_image<NIVEX_CMAP_OUTFMT_3B>(out, src, pixels, cmap);
            break;
        case NIVEX_CMAP_OUTFMT_U32:
            colour_image<NIVEX_CMAP_OUTFMT_U32>(out, src, pixels, cmap);
            break;
        default:
            colour_image<NIVEX_CMAP_OUTFMT_3B_SWAP>(out, src, pixels, cmap);
            break;
    }
    return pixels;
}
