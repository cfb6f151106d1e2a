// What the filter switches' ids ask of their argument, shared by the public
// switches and the drivers that implement them.
#pragma once

#include "nivex.h"

namespace nx {

// The filters whose enable reads the caller's nivex_filter_args; the others
// take none and accept a null argument.
inline bool filter_reads_argument(int filter_id) {
    switch (filter_id) {
        case NIVEX_FILTER_PIXEL_CALIB:
        case NIVEX_FILTER_DEPTH_SMOOTH:
        case NIVEX_FILTER_MIN_AMP:
        case NIVEX_FILTER_AUTO_INTG:
        case NIVEX_FILTER_DCS_CHECK:
        case NIVEX_FILTER_TEMP_MONITOR:
            return true;
        default:
            return false;
    }
}

}  // namespace nx
