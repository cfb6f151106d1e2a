// The distance constants of the EPC decode and the calibration each decode
// runs with: the simple line (scale, offset, temperature compensation) or a
// pixel's own lookup table.
#pragma once

#include <optional>

#include "drivers/epc/epc_driver_state.h"
#include "drivers/epc/epc_pixel.h"

namespace nx::epc {

// The constants for the sensor's calibration data and modulation frequency.
DistanceConstants derive_constants(const nx::sensor::SensorModel &sensor);

// The state's constants; re-derived first when the sensor loaded other
// calibration data or runs at another frequency than they were derived for.
DistanceConstants current_constants(epc_driver_state &state);

// The simple routine's line for the temperatures of the frame described
// last. Without distance images (scale 0) the uncalibrated line (scale 1000
// per mille, offset 0) is used; the device warns about that once.
LinearCalib simple_calib(epc_driver_state &state, const DistanceConstants &c);

// The per-pixel routine's parameters, when the sensor's loaded lookup table
// covers width x height pixels and the range is known; empty otherwise.
std::optional<DrnuCalib> drnu_calib(const epc_driver_state &state, const DistanceConstants &c,
                                    int width, int height);

}  // namespace nx::epc
