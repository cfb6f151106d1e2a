// The per-pixel work of the colour images: float pixels (metres) to colours
// of a colour map, written in a pixel layout. Vectorised where the processor
// allows, with the results of nx::cmap_color either way.
#pragma once

#include <cstdint>

#include "imgproc/nx_cmap.h"

namespace nx {

// The millimetres a pixel value is coloured as: truncated; a value that is
// no number is below every range (black), values beyond the int range clamp
// to its ends, which lie beyond every range a map can hold.
int pixel_mm(float metres);

// Writes cmap_color(cmap, pixel_mm(src[i])) for i < n into `out` in the
// layout `outfmt` (a nivex_cmap_outfmt: 3 or 4 bytes per pixel); nothing
// beyond the n pixels is written.
void colour_pixels(const nx_cmap &cmap, const float *src, int n, int outfmt, uint8_t *out);

}  // namespace nx
