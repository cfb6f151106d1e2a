// The camera model on the real libusb-1.0.
//
// umockdev's preload library fakes sysfs and the usbfs device nodes for the
// process; this bus puts camera models there: each camera on the bus is a
// sysfs USB device with a device node whose usbfs requests (configuration,
// interface claims, URB submission, reaping, discarding, clearing a halt) a
// handler answers from the model. libusb enumerates, opens and talks to the
// cameras as to real ones, so code above it runs against the real library.
//
// The process must run with umockdev's preload library loaded
// (umockdev-wrapper, or LD_PRELOAD=libumockdev-preload.so.0), and only one
// bus may exist at a time. Streams are not paced by a link rate: bulk URBs
// fill as soon as the camera has bytes. Refused opens and foreign devices are
// not offered.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "sim/camera/sim_bus.h"

namespace nxsim::umock {

class BusState;
class UsbfsCamera;

// Why cameras cannot be put on a faked usbfs in this process (no preload
// library, or a ThreadSanitizer build); empty when they can.
std::string unavailable_reason();

class UsbfsBus {
  public:
    // An empty testbed. Throws std::runtime_error when it cannot be made.
    UsbfsBus();
    ~UsbfsBus();
    UsbfsBus(const UsbfsBus &) = delete;
    UsbfsBus &operator=(const UsbfsBus &) = delete;

    // Puts a camera on the bus (with the root hub of its bus). Throws
    // std::runtime_error when the testbed refuses the device.
    UsbfsCamera add_camera(const CameraConfig &config = {});

    // Runs `action(SimBus &)` under the bus lock, then brings the testbed in
    // line with what the action did to the cameras.
    template <typename Action>
    auto act(Action action) {
        struct CatchUp {
            UsbfsBus &bus;
            ~CatchUp() { bus.catch_up(); }
        } later{*this};
        std::lock_guard lock(mutex());
        return action(sim_bus());
    }

    // The testbed's root folder (its faked /dev and /sys live below it).
    std::string root_dir() const;
    // What went wrong when the testbed was last brought up to date; empty
    // when nothing did.
    std::string failure() const;
    // Device node files libusb holds open (one per open device handle).
    size_t open_files() const;
    // URBs libusb submitted and has not reaped yet.
    size_t pending_urbs() const;

  private:
    std::mutex &mutex();
    SimBus &sim_bus();
    // Devices of cameras that left the bus vanish from the testbed, cameras
    // that (re)appeared get a device there.
    void catch_up();
    void run();

    std::unique_ptr<BusState> state_;
    std::thread thread_;
};

// A camera on a UsbfsBus: a cheap handle, valid while the bus lives.
class UsbfsCamera {
  public:
    UsbfsCamera() = default;
    UsbfsCamera(UsbfsBus &bus, std::shared_ptr<CameraModel> model)
        : bus_(&bus), model_(std::move(model)) {}

    // Runs `action(CameraModel &)` under the bus lock; see UsbfsBus::act.
    template <typename Action>
    auto act(Action action) const {
        return bus_->act([&](SimBus &) { return action(*model_); });
    }

    uint8_t bus_number() const {
        return act([](CameraModel &m) { return m.bus(); });
    }
    uint8_t port() const {
        return act([](CameraModel &m) { return m.port(); });
    }
    uint8_t address() const {
        return act([](CameraModel &m) { return m.address(); });
    }
    // Leaves the bus now (URBs in flight end with ENODEV) / comes back under
    // a new address on the same port.
    void unplug() const;
    void plug() const;

  private:
    UsbfsBus *bus_ = nullptr;
    std::shared_ptr<CameraModel> model_;
};

}  // namespace nxsim::umock
