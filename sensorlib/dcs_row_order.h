// The EPC sensor reads its two image halves out from the middle outwards, in
// interleaved rows: readout row 0 is the upper half's bottom row, row 1 the
// lower half's top row, row 2 the row above row 0, and so on. Phase images and
// lookup tables keep that readout order; these turn it into top-to-bottom
// order and back.
#pragma once

#include <cstdint>

#include "nivex_epc.h"  // calc_dcs_sort, calc_dcs_unsort

namespace nx {

// Whole rows of `width` words move; `height` must be even (the halves come in
// row pairs) and dst must not be src. False, nothing written, otherwise.
bool dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height);
bool dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height);

}  // namespace nx
