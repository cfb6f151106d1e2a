// The simulated USB bus: which devices are plugged in, on which bus and port,
// under which address. Cameras come back by themselves after an interface
// reset; refresh() lets the time pass that this takes.
//
// Not thread-safe: its adapter serialises every call.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/camera/camera_model.h"
#include "sim/camera/wire.h"

namespace nxsim {

// A device that is not a camera: it only shows up in device lists.
struct ForeignDevice {
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t address = 0;
};

class SimBus {
  public:
    std::shared_ptr<CameraModel> add_camera(CameraConfig config);
    void add_foreign(ForeignDevice device);
    // Plugs a camera (back) in under a fresh address.
    void plug(CameraModel &camera);
    // Cameras whose re-enumeration time has come appear again.
    void refresh(TimePoint now);
    // Every device off the bus, every counter back to its start.
    void clear();

    const std::vector<std::shared_ptr<CameraModel>> &cameras() const { return cameras_; }
    const std::vector<ForeignDevice> &foreign() const { return foreign_; }

  private:
    uint8_t next_address(uint8_t bus);

    std::vector<std::shared_ptr<CameraModel>> cameras_;
    std::vector<ForeignDevice> foreign_;
    std::map<uint8_t, uint8_t> last_address_;  // per bus; 1 is the root hub
    std::map<uint8_t, uint8_t> last_port_;     // per bus, for cameras without a port
};

}  // namespace nxsim
