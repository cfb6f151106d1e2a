// Capture start and stop, on application threads.
#include <optional>

#include "api/capture.h"
#include "api/params.h"
#include "common/byte_order.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx {

std::atomic<int32_t> g_cap_fps{0};

namespace {

// The public calls, and the inner steps that do their work.
constexpr const char *kStartCallFn = "nivex_cap_start";
constexpr const char *kStartFn = "_nivex_cap_start";
constexpr const char *kStopCallFn = "nivex_cap_stop";
constexpr const char *kStopStepFn = "_nivex_cap_stop";

constexpr uint32_t kMinFrames = 2;
// How long a start waits for the transfers of the last capture to come back
// before it refuses to reset the parser they would still feed.
constexpr uint32_t kIdleWaitMs = 2000;

// The camera's frame rate; nothing when it cannot be read. The caller holds
// the command lock.
std::optional<uint32_t> read_frame_rate(Session &session) {
    ll_param_entry entry{};
    entry.id = NIVEX_PARAM_FRAME_RATE;
    entry.len = 4;
    if (!param_get(session, &entry, 1)) return std::nullopt;
    return load_le32(entry.val);
}

bool frame_buffer_usable(Session &session) {
    nx_stream_cfg cfg{};
    nx_stream_get_cfg(session.stream.get(), &cfg);
    if (cfg.max_frames >= kMinFrames) return true;
    NX_ERR(kStartFn, "[%s]  capture buffer not set or size is not correct \n");
    return false;
}

// The caller holds the command lock; no capture of the transport runs.
bool start_fresh_locked(Session &session) {
    // A rate of 0 is stored as read: the fetches then fall back to their
    // default period. A failed read keeps the last rate.
    if (std::optional<uint32_t> fps = read_frame_rate(session)) {
        g_cap_fps = static_cast<int32_t>(*fps);
    }
    if (!frame_buffer_usable(session)) return false;
    NX_TRC(kStartFn, "[%s] Enter ... \n");
    // Transfers of the last capture that are still on their way would feed
    // the parser after its reset: wait for them, or refuse.
    if (!nivex_ll_cap_idle(&session, kIdleWaitMs)) {
        NX_ERR(kStartFn, "[%s] transfers of the last capture are still outstanding\n");
        return false;
    }
    session.cap.reset_for_start();
    nx_stream_reset(session.stream.get());
    session.health.begin_capture();
    session.health.set_usb_speed(session.usb_speed);
    NX_DBG(kStartFn, "[%s] issue start cmd\n");
    bool started =
        nivex_ll_cap_start(&session, session.cap_start_arg.load(), on_capture_event, &session);
    if (started) {
        session.health.count_capture();
        session.capturing = 1;
    }
    return started;
}

// The caller holds the command lock.
bool start_locked(Session &session) {
    if (session.capturing.load()) cap_stop_running(session);
    return start_fresh_locked(session);
}

}  // namespace

bool cap_restart_locked(Session &session) {
    if (start_fresh_locked(session)) return true;
    // Fetches go on reporting the unplug that ended the last capture.
    session.capturing = 1;
    if (session.cap.end_with(NIVEX_ERR_CAP_UNKNOWN)) session.cap.wake_all();
    return false;
}

void cap_stop_running(Session &session) {
    NX_TRC(kStopStepFn, "[%s] Enter\n");
    session.cap.request_stop();
    bool stopped = nivex_ll_cap_stop(&session);
    session.cap.wake_all();
    session.capturing = stopped ? 0 : 1;
    NX_TRC(kStopStepFn, "[%s] Exit\n");
}

}  // namespace nx

extern "C" {

bool nivex_cap_start(nivex_device *dev) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(nx::kStartCallFn);
        return false;
    }
    nx::Session &session = *call.session();
    std::lock_guard commands(session.cmd_mutex);
    // A failed interface reset leaves the session without a transport.
    if (session.priv == nullptr) {
        nx::log_no_handle(nx::kStartCallFn);
        return false;
    }
    const bool started = nx::start_locked(session);
    if (started) session.capture_wanted = true;
    return started;
}

bool nivex_cap_stop(nivex_device *dev) {
    NX_DBG(nx::kStopCallFn, "[%s] Enter\n");
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(nx::kStopCallFn);
        return false;
    }
    nx::Session &session = *call.session();
    std::lock_guard commands(session.cmd_mutex);
    session.capture_wanted = false;
    if (session.capturing.load()) nx::cap_stop_running(session);
    // Off the bus (its transport dead or closed): nothing runs that could be
    // stopped, and the capture stays stopped when the camera comes back.
    if (session.priv == nullptr || ll_gone(session)) session.capturing = 0;
    return true;
}

}  // extern "C"
