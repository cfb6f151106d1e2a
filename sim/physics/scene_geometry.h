// The scenes the simulated EPC sensor looks at: what a viewing direction
// hits, how far away and how bright.
#pragma once

#include "sim/camsim.h"
#include "sim/physics/lens_rays.h"

namespace nxsim::physics {

struct SceneHit {
    double distance_mm = 0;  // along the ray, from the lens centre
    double reflectivity = 0;
};

SceneHit hit(const SceneConfig &scene, Ray ray);

}  // namespace nxsim::physics
