// The per-pixel work of the point clouds: for the pixels of one row, the
// point at each pixel's range along its ray, and whether the pixel is valid.
// Vectorised where the processor allows; the results are the same either way.
#pragma once

#include <cstdint>

namespace nx {

inline constexpr int kRayBlock = 256;

// What a row's pixels share.
struct RowRays {
    float cx, inv_fx;  // column to u = (col - cx) / fx
    float v, vv1;      // the row's v = (row - cy) / fy, and 1 + v^2
    float dist_scale;  // range = distance * dist_scale
};

struct RayBlock {
    float x[kRayBlock], y[kRayBlock], z[kRayBlock], r[kRayBlock];
    int32_t valid[kRayBlock];  // non-zero: 0 < distance < 60
};

// Fills the first n (at most kRayBlock) entries of `out` for the distances
// d[0..n) of columns col0 .. col0 + n - 1.
void compute_rays(const float *d, int n, int col0, const RowRays &row, RayBlock &out);

}  // namespace nx
