// The camera of the libusb checks shared with the simulated libusb
// (tests/camsim/device_contract_test.cpp), on umockdev's faked usbfs.
#include "camsim/device_contract.h"
#include "sim/camera/camera_model.h"
#include "sim/umockdev/usbfs_bus.h"

namespace contract {
namespace {

class UsbfsDeviceRig : public DeviceRig {
  public:
    UsbfsDeviceRig() : camera_(bus_.add_camera()) {}
    uint8_t bus() const override { return camera_.bus_number(); }
    uint8_t port() const override { return camera_.port(); }
    void hang_next(uint8_t request, uint32_t cancel_delay_ms) override {
        camera_.act(
            [&](nxsim::CameraModel &m) { m.faults().set_hang(1, request, cancel_delay_ms); });
    }
    void unplug() override { camera_.unplug(); }

  private:
    nxsim::umock::UsbfsBus bus_;
    nxsim::umock::UsbfsCamera camera_;
};

}  // namespace

std::unique_ptr<DeviceRig> make_device_rig(std::string &why) {
    why = nxsim::umock::unavailable_reason();
    if (!why.empty()) return nullptr;
    return std::make_unique<UsbfsDeviceRig>();
}

}  // namespace contract
