// Neighbourhood filters over 16-bit depth images.
//
// Every filter reads a w x h source image (row-major, rows back to back) and
// writes a whole destination image of the same size; the two buffers must not
// overlap. Pixels outside the image take the value of the nearest pixel inside
// (rows and columns clamped independently). The images hold distances in
// millimetres with the marker codes NX_PIXEL_LOW_AMP, NX_PIXEL_SATURATED and
// NX_PIXEL_OVERFLOW; only hole filling treats those specially.
//
// A width or height below 2 (or a null buffer) is refused with an error log
// and leaves the destination untouched.
#pragma once

#include <cstdint>

#include "nivex.h"

extern "C" {

// Median of the k x k window, k odd, 3 <= k < 2w and k < 2h. k = 3 and 5 go
// to the fixed-size versions.
NIVEX_API void nx_median2d_u16(uint16_t *dst, const uint16_t *src, int w, int h, int k);
NIVEX_API void nx_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
NIVEX_API void nx_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h);
// Mean of the 8 neighbours (the centre is not included), rounded down.
NIVEX_API void nx_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
// 3x3 binomial smoothing (1 2 1 / 2 4 2 / 1 2 1) / 16, rounded down.
NIVEX_API void nx_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
// 0 where the squared Sobel gradient of the quartered neighbours exceeds
// threshold / 16, the centre value elsewhere.
NIVEX_API void nx_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h,
                                uint32_t threshold);
// Samples read as signed 16-bit: a centre of 0 or below (which includes the
// marker codes) is a hole and takes the largest of the other window samples.
NIVEX_API void nx_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int w, int h);
NIVEX_API void nx_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int w, int h);
}

namespace nx {

// The depth smoothing chain: median 5x5, Gaussian 3x3, the flying-pixel
// filter when flypix_on, hole filling 3x3. `work` holds the input image and
// `dst` is the second buffer; each stage writes the buffer the previous one
// read, starting with the median into `dst`. Returns the buffer that holds
// the result: `dst` without the flying-pixel stage, `work` with it. An image
// too small for the filters is left as it is and `work` is returned.
uint16_t *depth_smooth_chain(uint16_t *work, uint16_t *dst, int w, int h, bool flypix_on,
                             uint32_t flypix_threshold);

}  // namespace nx
