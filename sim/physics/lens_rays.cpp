#include "sim/physics/lens_rays.h"

#include <cmath>

namespace nxsim::physics {
namespace {

constexpr int kNewtonSteps = 30;
constexpr double kTolerance = 1e-13;

// The distorted normalized point of an ideal one, with its Jacobian.
struct Distorted {
    double x, y;
    double dxdx, dxdy, dydx, dydy;
};

Distorted distort(const LensModel &l, double x, double y) {
    const double r2 = x * x + y * y;
    const double radial = 1 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
    const double d_radial = l.k1 + r2 * (2 * l.k2 + 3 * r2 * l.k3);  // d radial / d r2
    Distorted d;
    d.x = x * radial + 2 * l.p1 * x * y + l.p2 * (r2 + 2 * x * x);
    d.y = y * radial + l.p1 * (r2 + 2 * y * y) + 2 * l.p2 * x * y;
    d.dxdx = radial + 2 * x * x * d_radial + 2 * l.p1 * y + 6 * l.p2 * x;
    d.dxdy = 2 * x * y * d_radial + 2 * l.p1 * x + 2 * l.p2 * y;
    d.dydx = 2 * x * y * d_radial + 2 * l.p1 * x + 2 * l.p2 * y;
    d.dydy = radial + 2 * y * y * d_radial + 6 * l.p1 * y + 2 * l.p2 * x;
    return d;
}

}  // namespace

// Newton's method on distort(x, y) = (xd, yd), from the distorted point.
Ray ray_through(const LensModel &lens, double u, double v) {
    const double xd = (u - lens.cx) / lens.fx;
    const double yd = (v - lens.cy) / lens.fy;
    double x = xd, y = yd;
    for (int i = 0; i < kNewtonSteps; ++i) {
        const Distorted d = distort(lens, x, y);
        const double ex = d.x - xd, ey = d.y - yd;
        if (std::fabs(ex) < kTolerance && std::fabs(ey) < kTolerance) break;
        const double det = d.dxdx * d.dydy - d.dxdy * d.dydx;
        if (det == 0) break;
        x -= (d.dydy * ex - d.dxdy * ey) / det;
        y -= (d.dxdx * ey - d.dydx * ex) / det;
    }
    return {x, y};
}

void sensor_point(const LensModel &lens, Ray ray, double &u, double &v) {
    const Distorted d = distort(lens, ray.x, ray.y);
    u = lens.cx + lens.fx * d.x;
    v = lens.cy + lens.fy * d.y;
}

}  // namespace nxsim::physics
