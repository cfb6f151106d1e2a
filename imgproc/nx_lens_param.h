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
