// Lens undistortion through precomputed look-up maps.
//
// The map gives, for every pixel of the corrected image, the position in the
// distorted sensor image that it shows. It is built once from the lens record;
// undistorting an image is then a nearest-neighbour look-up per pixel. A map
// also serves images whose size divides the map's size evenly, by sampling
// every sx-th map column and sy-th map row.
#pragma once

#include <cstdint>

#include "imgproc/lens_param.h"
#include "nivex.h"

extern "C" {

typedef struct nx_lens_map {
    float *map_x;  // per corrected pixel (row-major), source column
    float *map_y;  // per corrected pixel, source row
    int map_len;   // width * height
    int width;     // = img_w of the lens record
    int height;    // = img_h of the lens record
    // The part of the corrected image in which every pixel has a source.
    int roi_x;
    int roi_y;
    int roi_w;
    int roi_h;
    uint8_t ready;  // arrays allocated and filled
} nx_lens_map;

// Builds the maps for `lens` and returns width * height; 0 (ready cleared,
// arrays null) when the lens record is unusable or memory runs out. Does not
// release earlier arrays: call nx_calib_len_uninit_map before rebuilding.
NIVEX_API int nx_calib_len_init_map(nx_lens_map *map, const epc_lens_param *lens);
// Releases the arrays of a built map; does nothing to a map that is not built.
NIVEX_API void nx_calib_len_uninit_map(nx_lens_map *map);
// Remaps a src_w x src_h image into dst (dst_len samples at least); pixels
// without a source get `invalid`. 1 on success, 0 on a parameter error.
NIVEX_API int nx_calib_len_undistort_u16(const nx_lens_map *map, uint16_t *dst, int dst_len,
                                         const uint16_t *src, int src_w, int src_h,
                                         uint16_t invalid);
NIVEX_API int nx_calib_len_undistort_f32(const nx_lens_map *map, float *dst, int dst_len,
                                         const float *src, int src_w, int src_h, float invalid);
}

namespace nx {

struct LensRoi {
    int x, y, w, h;
};

enum class LensMapStatus { kOk, kBadLens, kBadCamera };

// The intrinsics of the images that maps built from `lens` deliver: the new
// camera matrix of the corrected image (cx, cy, fx, fy), no distortion left
// (dcoeff all 0), and the lens record's image size. A point cloud of an
// undistorted image must be projected with these, not with the lens
// record's own intrinsics. False when the lens record is unusable.
bool lens_undistorted_param(const epc_lens_param &lens, epc_lens_param &out);

// The map computation of nx_calib_len_init_map into caller-provided arrays of
// img_w * img_h floats each. Throws std::bad_alloc when its row buffers cannot
// be allocated.
LensMapStatus lens_map_compute(const epc_lens_param &lens, float *map_x, float *map_y,
                               LensRoi &roi);

}  // namespace nx
