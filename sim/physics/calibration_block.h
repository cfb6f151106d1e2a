// The calibration block an EPC camera keeps in its flash and sends in its
// data-upload mode: a 17-byte header (valid, -, zip used, version, whole
// size, archive size, checksum; little-endian) and a zip archive holding
// "calib_and_param_<chip>.bin", the factory calibration of the camera's own
// sensor (see factory_calibration.h), and optionally a lens parameter file.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/camsim.h"

namespace nxsim::physics {

inline constexpr size_t kCalibHeaderSize = 17;

// The block `config.calib` describes; empty for CalibArchive::None. Blocks
// are kept per chip and kind once built: building one takes a while.
std::vector<uint8_t> calibration_block(const CameraConfig &config);

}  // namespace nxsim::physics
