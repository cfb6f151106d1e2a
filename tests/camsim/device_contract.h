// A camera on a USB bus for the libusb checks that run unchanged against the
// simulated libusb (test_camsim) and the real libusb-1.0 behind umockdev
// (test_reallibusb): what the simulated libusb promises is what the real
// library does. Each test binary links its own make_device_rig().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace contract {

class DeviceRig {
  public:
    virtual ~DeviceRig() = default;
    // Where the camera is.
    virtual uint8_t bus() const = 0;
    virtual uint8_t port() const = 0;
    // The next control request `request` gets no answer: it ends only when
    // cancelled, `cancel_delay_ms` after the cancellation.
    virtual void hang_next(uint8_t request, uint32_t cancel_delay_ms) = 0;
    // The camera leaves the bus.
    virtual void unplug() = 0;
};

// A bus with one camera; null, with the reason in `why`, when this test
// binary cannot make one here.
std::unique_ptr<DeviceRig> make_device_rig(std::string &why);

}  // namespace contract
