// The sensor settings a frame is taken with, as the camera's registers and
// parameters hold them: modulation frequency, exposure (two of them in HDR
// mode), ambient-light suppression, temperatures.
#pragma once

#include "sim/camera/param_store.h"
#include "sim/camera/register_file.h"
#include "sim/camsim.h"

namespace nxsim::physics {

SensorState read_sensor_state(const RegisterFile &registers, const ParamStore &params);

}  // namespace nxsim::physics
