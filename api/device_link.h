// A session's presence on the bus: where its camera sits and who it is, the
// time it spent off the bus, and the device events waiting for delivery.
//
// Three kinds of thread use it: the transport's event thread and the
// application threads notice that the camera left (mark_gone), the reopen
// watcher brings it back (mark_back), and application threads take the
// events out inside the polling and fetch calls. Its mutex is a leaf:
// nothing is called out while it is held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "api/capture_state.h"
#include "nivex.h"

namespace nx {

// Where a camera sits on the bus right now.
struct UsbPlace {
    uint8_t bus = 0;
    uint8_t port = 0;
    uint8_t addr = 0;

    bool operator==(const UsbPlace &) const = default;
};

// What makes a camera this camera, wherever it is plugged in.
struct ChipIdentity {
    uint16_t chip_id = 0;
    uint16_t wafer_id = 0;

    bool operator==(const ChipIdentity &) const = default;
};

struct DeviceEvent {
    int event = 0;
    nivex_device_gap gap{};
};

class DeviceLink {
  public:
    void set_place(UsbPlace place);
    UsbPlace place() const;
    void set_identity(ChipIdentity identity);
    std::optional<ChipIdentity> identity() const;

    // The camera left the bus while a capture ran at `fps` frames per second
    // (0: no capture). True for the call that noticed it first; that call
    // queues the GONE event.
    bool mark_gone(uint32_t fps);
    bool off_bus() const { return off_bus_.load(); }
    // While off the bus: a camera was opened to check it, or a reopen tried.
    void count_attempt();
    // The gap so far.
    nivex_device_gap gap() const;
    // The camera is back: closes the gap and returns it.
    nivex_device_gap mark_back(uint32_t settings_refused, bool capture_restarted);

    // Queues an event (the oldest go when too many wait) and wakes pollers.
    void push(int event, const nivex_device_gap &gap);
    std::vector<DeviceEvent> take();
    // Waits until an event is queued, wake() is called or the deadline passes.
    void wait(Clock::time_point deadline);
    void wake();

  private:
    nivex_device_gap gap_locked() const;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    UsbPlace place_;
    std::optional<ChipIdentity> identity_;
    Clock::time_point gone_at_{};
    uint32_t gone_fps_ = 0;
    uint32_t attempts_ = 0;
    std::deque<DeviceEvent> events_;
    uint64_t wakeups_ = 0;
    std::atomic<bool> off_bus_{false};
};

}  // namespace nx
