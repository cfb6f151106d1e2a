// The sensor's register bus, carried over the camera's command channel: the
// sensor library was written against an I2C bus, and every access it makes
// becomes a register read or write of target 1 on one open camera.
#pragma once

#include <cstdint>

#include "nivex.h"

namespace nx::sensor {

inline constexpr int kBridgeMaxCount = 257;  // values one transfer can carry
inline constexpr uint32_t kSensorTarget = 1;

// One bus operation on `dev` (may be NULL: then only 'd' and 'l' succeed):
// 'd' lists the bus into buf (32, 255), 'r' reads `count` registers from
// `reg` into buf (low byte of each), 'w' writes `count` bytes of buf as
// registers, 's' resets the sensor, 'l' is accepted and does nothing.
// Returns 0, or -1 with an ERR message.
int bridge_transfer(nivex_device *dev, int dev_addr, char op, int reg, int count, uint8_t *buf);

}  // namespace nx::sensor
