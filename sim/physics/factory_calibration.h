// What the camera's factory measured of its sensor, and the ground truth of
// its scene.
#pragma once

#include <string>
#include <vector>

#include "sim/camsim.h"

namespace nxsim::physics {

// The DRNU calibration files of the camera's chip, in `folder` (a prefix
// that ends in a separator): the parameter file (12 MHz, the factory's
// temperatures and distance step) and the distance-images file (30 images,
// image k the phase every pixel measures of a target 295 mm + k steps away,
// noise averaged out).
bool write_factory_calibration(const CameraConfig &config, const std::string &folder);

// True radial distance (mm) of every pixel's centre, top to bottom.
std::vector<double> true_distances_mm(const SceneConfig &scene);

}  // namespace nxsim::physics
