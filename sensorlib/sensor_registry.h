// Which sensor record belongs to which device, and which device is current.
//
// Every bound device has a record of its own, so two cameras open at once
// never share identity, frequency or calibration tables. The library's
// device-less calls work on the current record: the record of the device
// bound last, or, while no device is current, the record the last current
// device left behind. A single-camera program thus sees one continuous state:
// settings made before the camera is bound, and those of an earlier session
// of the same device record, carry over; another camera starts afresh.
#pragma once

#include <memory>

#include "nivex.h"
#include "sensorlib/sensor_model.h"

namespace nx::sensor {

using ModelRef = std::shared_ptr<SensorModel>;

// The record the device-less calls act on; never null.
ModelRef current_model();
// The device that record drives; null while none is current.
nivex_device *current_device();
// The record bound to `dev`, or null.
ModelRef model_of(const nivex_device *dev);
// Binds `dev` (keeping its record when it has one) and makes it the current
// device. A device without a record takes over the current record when that
// one is bound to no device and drove no other device before, else gets a
// fresh one. Null when no record can be made.
ModelRef bind_device(nivex_device *dev);
// Drops the binding of `dev`; when it was the current device, its record
// stays current with no device.
void unbind_device(const nivex_device *dev);
// Drops every binding and starts over from a fresh record, as when the
// library was loaded.
void reset_bindings();

}  // namespace nx::sensor
