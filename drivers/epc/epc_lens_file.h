// The lens parameter file of the data folder ("lens_param.txt"): one value
// per line, cx, cy, fx, fy, the five distortion coefficients, then the image
// width and height the values refer to.
#pragma once

#include <string>

#include "nivex_epc.h"

namespace nx::epc {

inline constexpr const char *kLensFileName = "lens_param.txt";

// Reads the file at `path` into `lens`, field by field as its lines come. A
// line without a usable value (no number, or a value out of its field's
// range) leaves that field as it was, with a warning. True when the file
// holds exactly the 11 lines of the record; a missing file leaves `lens`
// untouched (false).
bool read_lens_file(const std::string &path, epc_lens_param &lens);

}  // namespace nx::epc
