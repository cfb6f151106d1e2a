// The per-pixel work of the colour images: float pixels (metres) to colours
// of a colour map, vectorised where the processor allows, with the results
// of nx::cmap_color either way.
#pragma once

#include <cstdint>

#include "imgproc/nx_cmap.h"

namespace nx {

// The millimetres a pixel value is coloured as: truncated; a value that is
// no number is below every range (black), values beyond the int range clamp
// to its ends, which lie beyond every range a map can hold.
int pixel_mm(float metres);

// colours[i] = cmap_color(cmap, pixel_mm(src[i])) for i < n.
void colour_pixels(const nx_cmap &cmap, const float *src, int n, uint32_t *colours);

}  // namespace nx
