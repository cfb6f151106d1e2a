// The lock that makes a published colour range whole for its readers.
#include "api/colour_range.h"

#include <mutex>

namespace nx {

namespace {
std::mutex g_range_mutex;  // guards the range and scales of g_nx_cmap
}  // namespace

nx_cmap colour_map_snapshot() {
    std::lock_guard lock(g_range_mutex);
    return g_nx_cmap;
}

void colour_map_publish(const nx_cmap &cmap) {
    std::lock_guard lock(g_range_mutex);
    g_nx_cmap.range_min = cmap.range_min;
    g_nx_cmap.range_max = cmap.range_max;
    g_nx_cmap.index_scale = cmap.index_scale;
    g_nx_cmap.gray_scale = cmap.gray_scale;
}

}  // namespace nx
