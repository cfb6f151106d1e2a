// The built-in frame content: a deterministic pattern of 12-bit samples that
// tests can regenerate byte for byte.
#pragma once

#include <string_view>

#include "sim/camsim.h"

namespace nxsim {

inline constexpr uint16_t kFormatPhasePlanes = 2;  // four 12-bit sample planes
inline constexpr uint16_t kFormatTiRaw = 1;        // 32 bits per pixel
inline constexpr uint16_t kFormatDataBlock = 171;  // a stored data block, carried whole

// The chip code of a product text ("NVX-T0-1.0" -> "T0"); empty when the
// text has no three '-'-separated fields.
std::string_view chip_code(std::string_view product);

// Frame layout of a product: TI frames for "T0", phase planes otherwise.
FrameFormat pattern_format(std::string_view product);

}  // namespace nxsim
