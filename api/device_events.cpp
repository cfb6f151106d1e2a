// Device events: noticing a camera's loss, delivering events, and the public
// calls of the event callback, automatic reopen and polling.
#include "api/device_events.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "api/callback_slot.h"
#include "api/capture.h"
#include "api/device_reopen.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx {

namespace {

constexpr const char *kGoneFn = "note_gone";
constexpr const char *kPollFn = "nivex_dev_poll_events";
constexpr const char *kReopenFn = "nivex_dev_set_auto_reopen";
constexpr auto kPresenceInterval = std::chrono::milliseconds(200);
constexpr int kMaxListed = 32;

// Set while this thread runs device-event callbacks.
thread_local bool t_delivering = false;

bool listed(const UsbPlace &place) {
    std::vector<ll_device> entries;
    try {
        entries.resize(kMaxListed);
    } catch (const std::exception &) {
        return true;  // cannot tell: not taken for a loss
    }
    const int found = nivex_ll_dev_list(entries.data(), kMaxListed);
    return std::any_of(entries.begin(), entries.begin() + found, [&](const ll_device &entry) {
        return UsbPlace{entry.usb_bus, entry.usb_port, entry.usb_addr} == place;
    });
}

// A listing can fail on its own: a camera missing from two in a row is gone.
bool missing_from_bus(const Session &session) {
    const UsbPlace place = session.link.place();
    return !listed(place) && !listed(place);
}

}  // namespace

void note_gone(Session &session) {
    const int32_t fps = session.capturing.load() ? g_cap_fps.load() : 0;
    if (!session.link.mark_gone(static_cast<uint32_t>(std::max(fps, 0)))) return;
    const UsbPlace place = session.link.place();
    NX_WRN(kGoneFn, "[%s] camera @ bus %d port %d left the bus\n", place.bus, place.port);
    session.link.push(NIVEX_DEV_EVENT_GONE, nivex_device_gap{});
    session.cap.wake_all();
    if (session.auto_reopen.load()) watch_for_return(session);
}

void note_if_gone(Session &session) {
    if (ll_gone(session)) note_gone(session);
}

int deliver_device_events(nivex_device *dev, Session &session) {
    if (t_delivering) return 0;
    note_if_gone(session);
    const std::vector<DeviceEvent> events = session.link.take();
    const nivex_cb_device_event cb = session.on_device_event.load();
    if (cb == nullptr) return static_cast<int>(events.size());
    t_delivering = true;
    for (const DeviceEvent &event : events) {
        // A callback that closed the device ends the delivery.
        if (session.calls.is_shut()) break;
        cb(dev, event.event, &event.gap);
    }
    t_delivering = false;
    return static_cast<int>(events.size());
}

}  // namespace nx

using nx::Session;

extern "C" {

bool nivex_dev_set_callback_on_event(nivex_device *dev, nivex_cb_device_event cb) {
    return nx::set_callback(dev, &Session::on_device_event, cb, "nivex_dev_set_callback_on_event",
                            "on_dev_event");
}

bool nivex_dev_set_auto_reopen(nivex_device *dev, bool on) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(nx::kReopenFn);
        return false;
    }
    Session &session = *call.session();
    if (!on) {
        // Under the command lock: a look of the watcher that is under way
        // opens no camera once this returns.
        std::lock_guard commands(session.cmd_mutex);
        session.auto_reopen = false;
        return true;
    }
    if (!session.link.identity()) {
        std::lock_guard commands(session.cmd_mutex);
        const std::optional<nx::ChipIdentity> identity = nx::read_chip_identity(session);
        if (!identity) {
            NX_ERR(nx::kReopenFn, "[%s] the camera's chip and wafer IDs cannot be read\n");
            return false;
        }
        session.link.set_identity(*identity);
    }
    session.auto_reopen = true;
    NX_DBG(nx::kReopenFn, "[%s] automatic reopen on\n");
    if (session.link.off_bus()) nx::watch_for_return(session);
    return true;
}

int nivex_dev_poll_events(nivex_device *dev, uint32_t timeout_msec) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(nx::kPollFn);
        return -1;
    }
    Session &session = *call.session();
    const auto deadline = nx::Clock::now() + std::chrono::milliseconds(timeout_msec);
    auto next_check = nx::Clock::now();
    for (;;) {
        if (!session.link.off_bus() && nx::Clock::now() >= next_check) {
            if (nx::missing_from_bus(session)) nx::note_gone(session);
            next_check = nx::Clock::now() + nx::kPresenceInterval;
        }
        const int delivered = nx::deliver_device_events(dev, session);
        if (delivered > 0 || session.calls.is_shut()) return delivered;
        if (nx::Clock::now() >= deadline) return 0;
        // Blocked: api_busy does not count this call meanwhile.
        call.set_blocked(true);
        // Off the bus the watcher's event ends the wait; on it, the next check.
        session.link.wait(session.link.off_bus() ? deadline : std::min(deadline, next_check));
        call.set_blocked(false);
    }
}

}  // extern "C"
