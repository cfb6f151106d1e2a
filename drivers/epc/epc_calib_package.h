// The calibration package of an EPC camera: the block the camera sends in its
// data-upload mode (a 17-byte header and a zip archive), the package file the
// archive holds ("calib_and_param_<chip>.bin", the DRNU parameter file
// followed by the distance-images file), and how it becomes the two DRNU
// files of the data folder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "drivers/epc/epc_driver_state.h"

namespace nx::epc {

inline constexpr size_t kCalibHeaderSize = 17;
// The capture buffer the upload sets, and so the largest block it takes.
inline constexpr uint32_t kCalibBufferSize = 12288000;

// The header of a calibration block (and the value of the camera's data
// information parameter), little-endian.
struct CalibHeader {
    uint8_t valid = 0;     // 1: the camera holds calibration data
    uint8_t zip_used = 0;  // 1: a zip archive follows the header
    uint32_t version = 0;
    uint32_t fsize = 0;       // bytes of the whole block
    uint32_t valid_size = 0;  // bytes of the archive
    uint16_t ck_sum = 0;
};
CalibHeader parse_calib_header(std::span<const uint8_t, kCalibHeaderSize> bytes);

// The names the package search looks at and the one it prefers.
std::string package_name(uint16_t chip_id);
// Of `names`, the package for `chip_id`: the one with its name; else the
// first package of another chip (with a warning naming both); none when the
// archive holds no package.
std::optional<std::string> choose_package(const std::vector<std::string> &names, uint16_t chip_id);

// Splits the package file at `package` into the parameter file (its first
// length mod 256 bytes) and the distance-images file (the rest). Both are
// written under temporary names next to their targets and renamed into place
// only when both are complete, so a target either is whole or not there.
// False with an error, and nothing written, for a package without a
// parameter part or a failed write.
bool split_package(const std::string &package, const std::string &param_path,
                   const std::string &images_path);

// The package step: checks the block received from the camera, unpacks its
// archive, moves the archive's files into the data folder and splits the
// package of this chip into the DRNU files named in `state`. True when the
// DRNU files were written.
bool unpack_calib_block(const epc_driver_state &state, std::span<const uint8_t> block);

// The upload: switches the camera to its data-upload mode, captures the block
// as one frame and runs the package step on it; mode 0 and capture stopped
// afterwards. True when the camera reported valid calibration data (whatever
// became of the block).
bool load_calib_data(const epc_driver_state &state);

}  // namespace nx::epc
