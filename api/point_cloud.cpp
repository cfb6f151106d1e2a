// Point clouds from distance images: every valid pixel becomes the point at
// its distance along the pixel's ray, x, y, z in metres (optionally with a
// fourth value: the distance, or a pseudo-colour), packed without gaps.
//
// The camera measures the distance along the ray (the range), not the depth
// z. Through the pinhole camera of the intrinsics, pixel (col, row) looks
// along (u, v, 1) with u = (col - cx) / fx and v = (row - cy) / fy, so the
// point at range r is (u, v, 1) * r / sqrt(1 + u^2 + v^2). A flat wall comes
// out flat, and every point lies at distance r from the camera.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "api/colour_range.h"
#include "api/float_to_int.h"
#include "api/point_cloud_rays.h"
#include "api/session.h"
#include "common/nx_log.h"
#include "drivers/chip_driver.h"
#include "imgproc/lens_param.h"
#include "imgproc/simd.h"

namespace {

constexpr const char *kPclFn = "nivex_frame_get_pcl";
constexpr const char *kPclXyzdFn = "nivex_frame_get_pcl_xyzd";

struct Projection {
    double cx, cy, fx, fy;
    float dist_scale;
};

bool projection_usable(const Projection &k) {
    return std::isfinite(k.cx) && std::isfinite(k.cy) && std::isfinite(k.fx) &&
           std::isfinite(k.fy) && k.fx != 0.0 && k.fy != 0.0 && std::isfinite(k.dist_scale);
}

// The caller's lens, or the driver's intrinsics for an image of w x h pixels
// as the decode delivered it.
bool projection_of(const char *fn, chip_driver *drv, const nivex_lens_param *p_lens, int w, int h,
                   Projection &out) {
    if (p_lens != nullptr) {
        out = {p_lens->cx, p_lens->cy, p_lens->fx, p_lens->fy, p_lens->dist_scale};
    } else {
        if (drv == nullptr || drv->ops == nullptr || drv->ops->lens_param_get == nullptr) {
            NX_ERR(fn, "[%s] Cannot generate PCL: no lens parameter in driver.\n");
            return false;
        }
        epc_lens_param lens{};
        if (!drv->ops->lens_param_get(drv, &lens, w, h)) return false;
        out = {lens.cx, lens.cy, lens.fx, lens.fy, 1.0f};
    }
    if (projection_usable(out)) return true;
    NX_ERR(fn, "[%s] unusable lens parameters: cx=%f, cy=%f, fx=%f, fy=%f, dist_scale=%f\n", out.cx,
           out.cy, out.fx, out.fy, static_cast<double>(out.dist_scale));
    return false;
}

enum class Fourth { kNone, kRange, kColour };

// The fourth value of a point.
template <Fourth kFourth>
NX_INLINE void put_fourth(float *p, float r, const nx_cmap &cmap) {
    if constexpr (kFourth == Fourth::kRange) p[3] = r;
    if constexpr (kFourth == Fourth::kColour)
        p[3] = static_cast<float>(nx::cmap_color(cmap, nx::trunc_to_int(r * 1000.0f)));
}

// Writes the valid pixels of one block of rays from point n on; false when
// the buffer filled up. When the whole block fits, every pixel's point is
// written at position n and n advances only past valid ones, without a
// branch per pixel: an invalid pixel's values land in the next free slot
// and are overwritten by the next valid point (or stay in the caller's
// buffer beyond the points reported).
template <Fourth kFourth>
bool emit(const nx::RayBlock &b, int count, float *pcl, int max_points, int &n,
          const nx_cmap &cmap) {
    constexpr size_t kStride = kFourth == Fourth::kNone ? 3 : 4;
    if (kFourth != Fourth::kColour && max_points - n >= count) {
        for (int i = 0; i < count; ++i) {
            float *p = pcl + static_cast<size_t>(n) * kStride;
            p[0] = b.x[i];
            p[1] = b.y[i];
            p[2] = b.z[i];
            put_fourth<kFourth>(p, b.r[i], cmap);
            n += b.valid[i] != 0;
        }
        return true;
    }
    for (int i = 0; i < count; ++i) {
        if (n == max_points) return false;
        if (b.valid[i] == 0) continue;
        float *p = pcl + static_cast<size_t>(n) * kStride;
        p[0] = b.x[i];
        p[1] = b.y[i];
        p[2] = b.z[i];
        put_fourth<kFourth>(p, b.r[i], cmap);
        ++n;
    }
    return true;
}

template <Fourth kFourth>
int project(float *pcl, int max_points, const float *dist, int w, int h, const Projection &k,
            const nx_cmap &cmap) {
    const float cy = static_cast<float>(k.cy), inv_fy = static_cast<float>(1.0 / k.fy);
    nx::RowRays g{static_cast<float>(k.cx), static_cast<float>(1.0 / k.fx), 0, 0, k.dist_scale};
    nx::RayBlock block;
    int n = 0;
    for (int row = 0; row < h; ++row) {
        const float *line = dist + static_cast<size_t>(row) * static_cast<size_t>(w);
        g.v = (static_cast<float>(row) - cy) * inv_fy;
        g.vv1 = g.v * g.v + 1.0f;
        for (int col = 0; col < w; col += nx::kRayBlock) {
            const int count = std::min(nx::kRayBlock, w - col);
            nx::compute_rays(line + col, count, col, g, block);
            if (!emit<kFourth>(block, count, pcl, max_points, n, cmap)) return n;
        }
    }
    return n;
}

int point_cloud(const char *fn, Fourth fourth, nivex_device *dev, float *pcl, int pcl_len,
                const float *dist, int dist_len, int img_w, int img_h,
                const nivex_lens_param *p_lens) {
    if (dev == nullptr) return 0;
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(fn);
        return 0;
    }
    if (pcl == nullptr || dist == nullptr || img_w <= 0 || img_h <= 0) {
        NX_ERR(fn, "[%s] wrong params: pcl=%p, dist=%p, img=%dx%d\n", static_cast<void *>(pcl),
               static_cast<const void *>(dist), img_w, img_h);
        return 0;
    }
    if (int64_t{img_w} * img_h > dist_len) {
        NX_ERR(fn, "[%s] dist_len %d too small for %dx%d\n", dist_len, img_w, img_h);
        return 0;
    }
    Projection k{};
    if (!projection_of(fn, call.session()->drv, p_lens, img_w, img_h, k)) return 0;
    const int per_point = fourth == Fourth::kNone ? 3 : 4;
    const int max_points = pcl_len > 0 ? pcl_len / per_point : 0;
    switch (fourth) {
        case Fourth::kNone:
            return project<Fourth::kNone>(pcl, max_points, dist, img_w, img_h, k, {});
        case Fourth::kRange:
            return project<Fourth::kRange>(pcl, max_points, dist, img_w, img_h, k, {});
        default:
            return project<Fourth::kColour>(pcl, max_points, dist, img_w, img_h, k,
                                            nx::colour_map_snapshot());
    }
}

}  // namespace

extern "C" {

int nivex_frame_get_pcl(nivex_device *dev, float *pcl, int pcl_len, const float *dist, int dist_len,
                        int img_w, int img_h, const nivex_lens_param *p_lens) {
    return point_cloud(kPclFn, Fourth::kNone, dev, pcl, pcl_len, dist, dist_len, img_w, img_h,
                       p_lens);
}

int nivex_frame_get_pcl_xyzd(nivex_device *dev, float *pcl, int pcl_len, const float *dist,
                             int dist_len, int img_w, int img_h, bool pseudo_color,
                             const nivex_lens_param *p_lens) {
    return point_cloud(kPclXyzdFn, pseudo_color ? Fourth::kColour : Fourth::kRange, dev, pcl,
                       pcl_len, dist, dist_len, img_w, img_h, p_lens);
}

}  // extern "C"
