// Presence bookkeeping of a session (see device_link.h).
#include "api/device_link.h"

#include <chrono>

namespace nx {

namespace {

// Events nobody takes out are not kept without bound.
constexpr size_t kMaxQueuedEvents = 32;

}  // namespace

void DeviceLink::set_place(UsbPlace place) {
    std::lock_guard lock(mu_);
    place_ = place;
}

UsbPlace DeviceLink::place() const {
    std::lock_guard lock(mu_);
    return place_;
}

void DeviceLink::set_identity(ChipIdentity identity) {
    std::lock_guard lock(mu_);
    identity_ = identity;
}

std::optional<ChipIdentity> DeviceLink::identity() const {
    std::lock_guard lock(mu_);
    return identity_;
}

bool DeviceLink::mark_gone(uint32_t fps) {
    std::lock_guard lock(mu_);
    if (off_bus_.load()) return false;
    off_bus_.store(true);
    gone_at_ = Clock::now();
    gone_fps_ = fps;
    attempts_ = 0;
    return true;
}

void DeviceLink::count_attempt() {
    std::lock_guard lock(mu_);
    ++attempts_;
}

nivex_device_gap DeviceLink::gap_locked() const {
    nivex_device_gap gap{};
    if (!off_bus_.load()) return gap;
    const auto off = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - gone_at_);
    gap.usec_off_bus = static_cast<uint64_t>(off.count());
    gap.frames_lost = static_cast<uint32_t>(gap.usec_off_bus * gone_fps_ / 1000000u);
    gap.reopen_attempts = attempts_;
    return gap;
}

nivex_device_gap DeviceLink::gap() const {
    std::lock_guard lock(mu_);
    return gap_locked();
}

nivex_device_gap DeviceLink::mark_back(uint32_t settings_refused, bool capture_restarted) {
    std::lock_guard lock(mu_);
    nivex_device_gap gap = gap_locked();
    gap.settings_refused = settings_refused;
    gap.capture_restarted = capture_restarted ? 1 : 0;
    off_bus_.store(false);
    return gap;
}

void DeviceLink::push(int event, const nivex_device_gap &gap) {
    std::lock_guard lock(mu_);
    try {
        if (events_.size() >= kMaxQueuedEvents) events_.pop_front();
        events_.push_back({event, gap});
    } catch (const std::exception &) {
        // Out of memory: the event is lost, the state it reports is not.
    }
    ++wakeups_;
    cv_.notify_all();
}

std::vector<DeviceEvent> DeviceLink::take() {
    std::vector<DeviceEvent> taken;
    std::lock_guard lock(mu_);
    try {
        taken.assign(events_.begin(), events_.end());
        events_.clear();
    } catch (const std::exception &) {
        // Left queued for the next delivery.
    }
    return taken;
}

void DeviceLink::wait(Clock::time_point deadline) {
    std::unique_lock lock(mu_);
    const uint64_t seen = wakeups_;
    cv_.wait_until(lock, deadline, [&] { return wakeups_ != seen || !events_.empty(); });
}

void DeviceLink::wake() {
    std::lock_guard lock(mu_);
    ++wakeups_;
    cv_.notify_all();
}

}  // namespace nx
