// Brings the sensor model up on a camera: binds the device, reads the chip
// identity and runs the sensor set-up. Without a device it starts the library
// and opens the first camera itself (stand-alone use).
#pragma once

#include "nivex.h"

namespace nx::sensor {

inline constexpr int kEpcPartType = 2;

bool adapter_init(nivex_device *dev);
// Forgets the current device; closes it and ends the library when the
// stand-alone start opened it.
void adapter_uninit();
// Forgets `dev` only (the EPC driver closing one of several cameras).
void adapter_release(nivex_device *dev);

}  // namespace nx::sensor
