// The range of the library-wide colour map, shared by the colour images and
// the pseudo-coloured point clouds.
//
// Each colouring call works on a copy of the map with its own range, so
// calls on several threads never colour with each other's range; the range
// of the last call is then published whole, under a lock, for the point
// clouds that colour with "the current range".
#pragma once

#include "imgproc/nx_cmap.h"

namespace nx {

// A copy of g_nx_cmap with the range last published (the copy shares the
// map's table, which lives from nivex_init to nivex_uninit).
nx_cmap colour_map_snapshot();
// Makes the range and scales of `cmap` those of g_nx_cmap.
void colour_map_publish(const nx_cmap &cmap);

}  // namespace nx
