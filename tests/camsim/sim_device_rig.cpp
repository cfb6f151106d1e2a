// The camera of the libusb checks shared with the real libusb
// (device_contract_test.cpp), on the simulated libusb.
#include "device_contract.h"
#include "sim/camsim.h"

namespace contract {
namespace {

class SimDeviceRig : public DeviceRig {
  public:
    SimDeviceRig() {
        nxsim::reset();
        camera_ = nxsim::add_camera();
    }
    ~SimDeviceRig() override { nxsim::reset(); }
    uint8_t bus() const override { return camera_.bus(); }
    uint8_t port() const override { return camera_.port(); }
    void hang_next(uint8_t request, uint32_t cancel_delay_ms) override {
        camera_.inject_hang(1, request, cancel_delay_ms);
    }
    void unplug() override { camera_.unplug(); }

  private:
    nxsim::Camera camera_;
};

}  // namespace

std::unique_ptr<DeviceRig> make_device_rig(std::string &) {
    return std::make_unique<SimDeviceRig>();
}

}  // namespace contract
