// Lens intrinsics and distortion coefficients of a camera.
#pragma once

extern "C" {

typedef struct epc_lens_param {
    double cx;         // principal point, column (pixels)
    double cy;         // principal point, row (pixels)
    double fx;         // focal length along columns (pixels)
    double fy;         // focal length along rows (pixels)
    double dcoeff[5];  // distortion: k1, k2, p1, p2, k3
    int img_w;         // image size the values refer to
    int img_h;
} epc_lens_param;
}

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
