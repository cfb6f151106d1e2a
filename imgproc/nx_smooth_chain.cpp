// The depth smoothing chain of the distance decode.
#include <utility>

#include "imgproc/nx_filter.h"

namespace nx {

uint16_t *depth_smooth_chain(uint16_t *work, uint16_t *dst, int w, int h, bool flypix_on,
                             uint32_t flypix_threshold) {
    if (work == nullptr || dst == nullptr || w < 2 || h < 2) return work;
    uint16_t *in = work;
    uint16_t *out = dst;
    auto next = [&] { std::swap(in, out); };
    nx_median2d_u16(out, in, w, h, 5);
    next();
    nx_gauss2d_u16_k3(out, in, w, h);
    next();
    if (flypix_on) {
        nx_flypix_u16_k3(out, in, w, h, flypix_threshold);
        next();
    }
    nx_fhole_u16_k3(out, in, w, h);
    return out;
}

}  // namespace nx
