// The image steps of the EPC decode after the pixel routines, on images in
// top-to-bottom row order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drivers/epc/epc_driver_state.h"

namespace nx::epc {

// HDR merge: the sensor exposes the two rows of each pair (2k, 2k + 1) with
// different integration times. Per column the row whose `decide` value is
// greater (compared as signed 16-bit, so the marker 65500 loses against
// every real amplitude) gives its `follow` and `decide` values to the other
// row; on a tie row 2k + 1 wins. `follow` may be `decide` itself.
void hdr_merge(uint16_t *follow, uint16_t *decide, int width, int height);

// Marks distances that are not usable: at most 100 mm or at least the
// unambiguous range. Marker codes (above 60000) stay as they are.
void range_check(uint16_t *dist, size_t n, uint32_t range_mm);

// Minimum-amplitude marking of `dist` by `amp` (see epc_min_amp.cpp). False
// when the hysteresis mask could not be allocated (nothing is marked then).
bool min_amp_mark(epc_driver_state &state, uint16_t *dist, const uint16_t *amp, size_t n);

}  // namespace nx::epc
