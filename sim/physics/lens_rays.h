// The camera's lens as the simulated sensor sees through it: which direction
// a point of the sensor looks in. The lens bends straight lines of the scene
// into curves on the sensor (barrel distortion), as the real camera's does.
#pragma once

namespace nxsim::physics {

// Pinhole intrinsics (pixels; pixel (c, r) has its centre at (c, r)) and
// distortion: radial k1, k2, k3, tangential p1, p2.
struct LensModel {
    double cx, cy, fx, fy;
    double k1, k2, p1, p2, k3;
};

// The lens of the simulated cameras: the intrinsics a camera of this type
// ships with when it carries no lens file of its own.
inline constexpr LensModel kCameraLens = {157.262,  122.083,      210.783,     204.817,   -0.378924,
                                          0.145035, -0.000970854, 6.20728e-05, -0.0133954};

// A viewing direction (x, y, 1) from the lens centre.
struct Ray {
    double x = 0;
    double y = 0;
};

// The direction that sensor point (u, v) looks in.
Ray ray_through(const LensModel &lens, double u, double v);

// Where direction `ray` lands on the sensor (pixels): the forward model.
void sensor_point(const LensModel &lens, Ray ray, double &u, double &v);

}  // namespace nxsim::physics
