// Building the undistortion maps from the lens record.
//
// The corrected image gets a new camera matrix chosen so that the whole
// distorted field of view fits into it: a 9x9 grid of sensor points is
// undistorted, and the rectangle around all of them is scaled onto the image.
// Each corrected pixel is then pushed through the distortion model to find the
// sensor position it shows. All of it in double precision; the maps store
// floats.
#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <vector>

#include "common/nx_log.h"
#include "imgproc/mat3.h"
#include "imgproc/nx_calib_len.h"
#include "imgproc/simd.h"

namespace {

using nx::Mat3;
using nx::simd::f32x4;
using nx::simd::f64x4;

constexpr int kGrid = 9;  // grid points per side
constexpr int kUndistortIterations = 5;

struct Lens {
    double cx, cy, fx, fy;
    double k1, k2, p1, p2, k3;
};

Lens lens_of(const epc_lens_param &p) {
    return {p.cx,        p.cy,        p.fx,        p.fy,       p.dcoeff[0],
            p.dcoeff[1], p.dcoeff[2], p.dcoeff[3], p.dcoeff[4]};
}

struct Rect {
    float x, y, w, h;
};

// The rectangle around all grid points, and the largest rectangle inside the
// grid's outer rows and columns.
struct GridRects {
    Rect outer;
    Rect inner;
};

// Sensor pixel (u, v) back to where it lies without distortion, by fixed-point
// iteration of the inverse model, then projected with P.
void undistort_point(float u, float v, const Lens &l, const Mat3 &P, float &pu, float &pv) {
    double x0 = (u - l.cx) / l.fx;
    double y0 = (v - l.cy) / l.fy;
    double x = x0, y = y0;
    for (int i = 0; i < kUndistortIterations; ++i) {
        double r2 = x * x + y * y;
        double r4 = r2 * r2;
        double d = 1.0 / (1.0 + l.k1 * r2 + l.k2 * r4 + l.k3 * (r4 * r2));
        double dx = 2.0 * l.p1 * x * y + l.p2 * (r2 + 2.0 * x * x);
        double dy = l.p1 * (r2 + 2.0 * y * y) + 2.0 * l.p2 * x * y;
        x = (x0 - dx) * d;
        y = (y0 - dy) * d;
    }
    double s = 1.0 / (P(2, 0) * x + P(2, 1) * y + P(2, 2));
    pu = static_cast<float>((P(0, 0) * x + P(0, 1) * y + P(0, 2)) * s);
    pv = static_cast<float>((P(1, 0) * x + P(1, 1) * y + P(1, 2)) * s);
}

GridRects grid_rects(const Lens &l, int w, int h, const Mat3 &P) {
    float u[kGrid][kGrid], v[kGrid][kGrid];
    for (int i = 0; i < kGrid; ++i) {
        for (int j = 0; j < kGrid; ++j) {
            float gu = static_cast<float>(w) * static_cast<float>(j) / 8.0f;
            float gv = static_cast<float>(h) * static_cast<float>(i) / 8.0f;
            undistort_point(gu, gv, l, P, u[i][j], v[i][j]);
        }
    }
    float umin = u[0][0], umax = u[0][0], vmin = v[0][0], vmax = v[0][0];
    float left = u[0][0], right = u[0][kGrid - 1], top = v[0][0], bottom = v[kGrid - 1][0];
    for (int i = 0; i < kGrid; ++i) {
        for (int j = 0; j < kGrid; ++j) {
            umin = std::min(umin, u[i][j]);
            umax = std::max(umax, u[i][j]);
            vmin = std::min(vmin, v[i][j]);
            vmax = std::max(vmax, v[i][j]);
        }
        left = std::max(left, u[i][0]);
        right = std::min(right, u[i][kGrid - 1]);
        top = std::max(top, v[0][i]);
        bottom = std::min(bottom, v[kGrid - 1][i]);
    }
    return {{umin, vmin, umax - umin, vmax - vmin}, {left, top, right - left, bottom - top}};
}

int round_half_up(float value) {
    return static_cast<int>(static_cast<double>(value) + 0.5);
}

// The camera matrix that maps the outer rectangle onto 0..w-1 x 0..h-1.
Mat3 camera_for(const Rect &outer, int w, int h) {
    double fx = (w - 1) / static_cast<double>(outer.w);
    double fy = (h - 1) / static_cast<double>(outer.h);
    Mat3 k;
    nx::mat3_set(k, {fx, 0.0, -fx * outer.x, 0.0, fy, -fy * outer.y, 0.0, 0.0, 1.0});
    return k;
}

// seq[c] = start, then increased by inc for every further column: the same
// running sum the map rows are defined by. A zero increment leaves the sum at
// start + inc from the second column on.
void running_sum(std::vector<double> &seq, double start, double inc) {
    if (inc == 0.0) {
        std::fill(seq.begin(), seq.end(), start + inc);
        seq[0] = start;
        return;
    }
    double v = start;
    for (double &s : seq) {
        s = v;
        v += inc;
    }
}

// A running sum that rows share whenever their start and increment agree.
class RowSum {
  public:
    explicit RowSum(int n) : seq_(static_cast<size_t>(n)) {}

    const double *update(double start, double inc) {
        if (!filled_ || start != start_ || inc != inc_) {
            running_sum(seq_, start, inc);
            start_ = start;
            inc_ = inc;
            filled_ = true;
        }
        return seq_.data();
    }

  private:
    std::vector<double> seq_;
    double start_ = 0.0;
    double inc_ = 0.0;
    bool filled_ = false;
};

NX_INLINE void store_f(float *p, double v) {
    *p = static_cast<float>(v);
}
NX_INLINE void store_f(float *p, const f64x4 &v) {
    nx::simd::store(p, __builtin_convertvector(v, f32x4));
}

// One map row from the homogeneous coordinates of its corrected pixels.
NX_SIMD_CLONES
void distort_row(const Lens &l, const double *X, const double *Y, const double *Z, bool z_is_one,
                 int w, float *map_x, float *map_y) {
    nx::simd::for_lanes<f64x4, double>(0, w, [&](int c, auto tag) NX_LAMBDA_INLINE {
        using T = typename decltype(tag)::type;
        T x = nx::simd::load<T>(X + c);
        T y = nx::simd::load<T>(Y + c);
        if (!z_is_one) {
            T z = nx::simd::load<T>(Z + c);
            x = x / z;
            y = y / z;
        }
        T r2 = x * x + y * y;
        T r4 = r2 * r2;
        T kr = 1.0 + l.k1 * r2 + l.k2 * r4 + l.k3 * (r4 * r2);
        T xd = x * kr + 2.0 * l.p1 * x * y + l.p2 * (r2 + 2.0 * x * x);
        T yd = y * kr + l.p1 * (r2 + 2.0 * y * y) + 2.0 * l.p2 * x * y;
        store_f(map_x + c, l.cx + l.fx * xd);
        store_f(map_y + c, l.cy + l.fy * yd);
    });
}

// (X, Y, Z) = inv * (c, r, 1), advanced along each row by adding the inverse's
// first column.
void fill_maps(const Lens &l, const Mat3 &inv, int w, int h, float *map_x, float *map_y) {
    RowSum xs(w), ys(w), zs(w);
    for (int r = 0; r < h; ++r) {
        double row = r;
        double z0 = inv(2, 1) * row + inv(2, 2);
        const double *X = xs.update(inv(0, 1) * row + inv(0, 2), inv(0, 0));
        const double *Y = ys.update(inv(1, 1) * row + inv(1, 2), inv(1, 0));
        const double *Z = zs.update(z0, inv(2, 0));
        bool z_is_one = z0 == 1.0 && inv(2, 0) == 0.0;
        size_t at = static_cast<size_t>(r) * static_cast<size_t>(w);
        distort_row(l, X, Y, Z, z_is_one, w, map_x + at, map_y + at);
    }
}

bool lens_usable(const epc_lens_param &p) {
    bool finite =
        std::isfinite(p.cx) && std::isfinite(p.cy) && std::isfinite(p.fx) && std::isfinite(p.fy);
    for (double d : p.dcoeff)
        finite = finite && std::isfinite(d);
    long long pixels = static_cast<long long>(p.img_w) * p.img_h;
    return finite && p.fx != 0.0 && p.fy != 0.0 && p.img_w >= 2 && p.img_h >= 2 &&
           pixels <= 0x7FFFFFFF;
}

// The camera matrix of the corrected image.
Mat3 new_camera(const Lens &l, int w, int h) {
    return camera_for(grid_rects(l, w, h, nx::mat3_identity()).outer, w, h);
}

void clear_map(nx_lens_map *map) {
    *map = nx_lens_map{};
}

}  // namespace

namespace nx {

LensMapStatus lens_map_compute(const epc_lens_param &lens, float *map_x, float *map_y,
                               LensRoi &roi) {
    if (!lens_usable(lens)) return LensMapStatus::kBadLens;
    const int w = lens.img_w, h = lens.img_h;
    const Lens l = lens_of(lens);
    Mat3 camera = new_camera(l, w, h);
    Mat3 inverse;
    if (!nx::mat3_inverse(camera, inverse)) return LensMapStatus::kBadCamera;
    Rect inner = grid_rects(l, w, h, camera).inner;
    fill_maps(l, inverse, w, h, map_x, map_y);
    roi = {round_half_up(inner.x), round_half_up(inner.y), round_half_up(inner.w),
           round_half_up(inner.h)};
    return LensMapStatus::kOk;
}

bool lens_undistorted_param(const epc_lens_param &lens, epc_lens_param &out) {
    if (!lens_usable(lens)) return false;
    const Mat3 camera = new_camera(lens_of(lens), lens.img_w, lens.img_h);
    out = epc_lens_param{camera(0, 2), camera(1, 2), camera(0, 0), camera(1, 1),
                         {},           lens.img_w,   lens.img_h};
    return true;
}

}  // namespace nx

extern "C" {

int nx_calib_len_init_map(nx_lens_map *map, const epc_lens_param *lens) {
    static const char *const fn = "nx_calib_len_init_map";
    if (map == nullptr || lens == nullptr) {
        NX_ERR(fn, "[%s] Wrong parameter: map or lens is NULL\n");
        return 0;
    }
    clear_map(map);
    if (!lens_usable(*lens)) {
        NX_ERR(fn, "[%s] Wrong lens parameter: img %dx%d, fx=%f, fy=%f\n", lens->img_w, lens->img_h,
               lens->fx, lens->fy);
        return 0;
    }
    size_t n = static_cast<size_t>(lens->img_w) * static_cast<size_t>(lens->img_h);
    nx::LensRoi roi{};
    try {
        auto map_x = std::make_unique_for_overwrite<float[]>(n);
        auto map_y = std::make_unique_for_overwrite<float[]>(n);
        if (nx::lens_map_compute(*lens, map_x.get(), map_y.get(), roi) != nx::LensMapStatus::kOk) {
            NX_ERR(fn, "[%s] Lens parameters give no usable camera matrix\n");
            return 0;
        }
        // The record is a C structure; nx_calib_len_uninit_map adopts the arrays back.
        map->map_x = map_x.release();
        map->map_y = map_y.release();
    } catch (const std::exception &) {
        NX_ERR(fn, "[%s] malloc failed\n");
        return 0;
    }
    map->map_len = static_cast<int>(n);
    map->width = lens->img_w;
    map->height = lens->img_h;
    map->roi_x = roi.x;
    map->roi_y = roi.y;
    map->roi_w = roi.w;
    map->roi_h = roi.h;
    map->ready = 1;
    return map->map_len;
}

void nx_calib_len_uninit_map(nx_lens_map *map) {
    if (map == nullptr || !map->ready) return;
    std::unique_ptr<float[]> map_x(map->map_x);
    std::unique_ptr<float[]> map_y(map->map_y);
    map->map_x = nullptr;
    map->map_y = nullptr;
    map->ready = 0;
}

}  // extern "C"
