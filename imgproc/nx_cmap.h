// Colour map: distances in millimetres to display colours.
//
// A precomputed blue-cyan-yellow-red ramp over a configurable range, with
// fixed colours for the saturation markers, and a gray variant. Colours are
// 0x00BBGGRR.
#pragma once

#include <cstdint>

#include "nivex.h"

extern "C" {

typedef struct nx_cmap {
    int size;           // table entries n
    int range_min;      // lower end (exclusive for colours)
    int range_max;      // upper end (inclusive)
    float index_scale;  // n / (range_max - range_min)
    float gray_scale;   // 255 / (range_max - range_min)
    uint32_t *table;    // n colours, owned by the record
} nx_cmap;

// The library-wide map, created by nivex_init with 30000 entries.
NIVEX_API extern nx_cmap g_nx_cmap;

// Fills the record (range 0..4000) and computes the table. False when n is
// not positive or the table cannot be allocated. Does not release an earlier
// table: call nx_cmap_uninit first when rebuilding.
NIVEX_API bool nx_cmap_init(nx_cmap *cmap, int n);
NIVEX_API void nx_cmap_uninit(nx_cmap *cmap);
// Range from two values in either order.
NIVEX_API void nx_cmap_set_range(nx_cmap *cmap, int a, int b);
NIVEX_API uint32_t nx_cmap_get_color(const nx_cmap *cmap, int v);
NIVEX_API uint32_t nx_cmap_get_gray(const nx_cmap *cmap, int v);
}

namespace nx {
inline constexpr uint32_t kColourSaturated = 0x8000FF;
inline constexpr uint32_t kColourOverflow = 0xFF0EA9;

// The colour look-up itself, inline for per-pixel loops over whole images;
// nx_cmap_get_color is this function.
inline uint32_t cmap_color(const nx_cmap &cmap, int v) {
    if (v == NX_PIXEL_LOW_AMP) return 0;
    if (v == NX_PIXEL_SATURATED) return kColourSaturated;
    if (v == NX_PIXEL_OVERFLOW) return kColourOverflow;
    if (cmap.table == nullptr || cmap.size <= 0) return 0;
    if (v <= cmap.range_min || v > cmap.range_max) return 0;
    float offset = static_cast<float>(static_cast<long long>(v) - cmap.range_min);
    long long k = cmap.size - static_cast<long long>(offset * cmap.index_scale);
    if (k <= 0) return cmap.table[0];
    if (k >= cmap.size) return cmap.table[cmap.size - 1];
    return cmap.table[k];
}
}  // namespace nx
