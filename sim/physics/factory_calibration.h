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

// The same calibration as the camera keeps it: the parameter file followed
// directly by the distance-images file (the package's parameter part is its
// length modulo 256, as the parameter file is shorter than 256 bytes).
std::vector<uint8_t> factory_package(const CameraConfig &config);

// True radial distance (mm) of every pixel's centre, top to bottom.
std::vector<double> true_distances_mm(const SceneConfig &scene);

}  // namespace nxsim::physics
