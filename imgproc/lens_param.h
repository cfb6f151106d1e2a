// Lens intrinsics and distortion coefficients of a camera.
#pragma once

// The record itself is public (nivex_epc.h): callers receive it from the EPC
// driver.
#include "nivex_epc.h"

namespace nx {

// The lens values used when a camera brings none of its own (320 x 240).
inline constexpr epc_lens_param kDefaultLensParam = {
    157.262,
    122.083,
    210.783,
    204.817,
    {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
    320,
    240};

}  // namespace nx
