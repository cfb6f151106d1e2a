// One simulated camera, opened through the public API, for the duration of a
// benchmark: the library started with its log silenced, the camera on the
// simulated bus, and the device closed and everything undone at the end.
#pragma once

#include "common/nx_log.h"
#include "nivex.h"
#include "sim/camsim.h"

namespace nxbench {

class Rig {
  public:
    explicit Rig(const nxsim::CameraConfig &config) {
        nxsim::reset();
        nivex_init("/dev/null");
        nx_log_disable();
        camera_ = nxsim::add_camera(config);
        dev_ = nivex_dev_open(nullptr);
        // 100 frames ride out the moments this shared machine takes the
        // fetching thread off the processor.
        if (dev_ != nullptr) nivex_cap_set_frame_buffer(dev_, nullptr, 100 * NIVEX_FRAME_SLOT_SIZE);
    }
    ~Rig() {
        nivex_dev_close(dev_);
        nivex_uninit();
        nxsim::reset();
    }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    nivex_device *dev() const { return dev_; }
    nxsim::Camera &camera() { return camera_; }

  private:
    nxsim::Camera camera_;
    nivex_device *dev_ = nullptr;
};

}  // namespace nxbench
