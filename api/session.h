// The session record behind an open nivex_device, and the guard every public
// call on a device goes through.
//
// Lifetime: sessions are shared-owned. The registry holds one reference from
// open to close, and a public call holds one for its duration, so a session
// record (with its parser and capture state) is never freed under a call;
// the last reference frees it.
//
// Transport: the transport's session (the ll_device head and the record its
// priv points to) is torn down only by close, after every call of other
// threads has left the session's CallGate. Close shuts the gate first (new
// calls are refused) and makes running commands fail at their next exchange,
// so it waits for calls in progress without waiting out a long command.
//
// Locks of one session, outermost first, never taken the other way:
//   cmd_mutex      one command exchange at a time (request, reply and status
//                  query belong together), resets and capture start/stop
//                  included; held only around transport calls, never while an
//                  application callback runs;
//   capture state  CaptureState's mutex (waits, wake-ups, fetch turns);
//   parser         the stream parser's lock (a leaf).
// The recorder's mutex (rec_mutex) and the recorder's own are leaves as well.
// The CallGate's mutex, the DeviceLink's and the SettingsRecord's are leaves
// of their own.
//
// Automatic reopen: while the camera is off the bus the reopen watcher (a
// library thread) enters the session's gate like a public call, so close
// waits for it and stops it the same way; it takes cmd_mutex only around
// each transport step, never while it waits for the camera to come back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "api/call_gate.h"
#include "api/capture_health.h"
#include "api/capture_state.h"
#include "api/device_link.h"
#include "api/recording_writer.h"
#include "api/settings_record.h"
#include "drivers/chip_driver.h"
#include "ll/ll_device.h"
#include "ll/ll_ops.h"
#include "nivex.h"
#include "stream/nx_stream.h"

namespace nx {

struct StreamDeleter {
    void operator()(nx_stream *stream) const { nx_stream_destroy(stream); }
};

struct Session : ll_device {
    // The session's own instance of its registry row (drv points to it), so
    // that two cameras with the same product code never share the driver's
    // device and private state.
    chip_driver drv_instance{};
    chip_driver *drv = nullptr;
    std::atomic<uint8_t> opened{0};
    // The transport's capture runs (start succeeded, no successful stop yet).
    std::atomic<uint8_t> capturing{0};
    std::unique_ptr<nx_stream, StreamDeleter> stream;
    CallGate calls;
    std::mutex cmd_mutex;

    // Capture engine.
    CaptureState cap;
    CaptureHealth health;
    nivex_frame_meta last_meta{};  // the fetching thread only (one at a time)
    std::atomic<uint32_t> cap_start_arg{0};
    std::atomic<nivex_cb_frame_ready> on_frame_ready{nullptr};
    std::atomic<nivex_cb_error> on_error{nullptr};

    // Recording: the recorder fetched frames are appended to while one runs
    // (the filter switches it carries come from `settings` below).
    std::mutex rec_mutex;
    std::shared_ptr<rec::Recorder> recorder;  // guarded by rec_mutex
    std::shared_ptr<rec::Recorder> current_recorder() {
        std::lock_guard lock(rec_mutex);
        return recorder;
    }

    // Data transfers: the caller's progress callback.
    std::atomic<nivex_cb_progress> on_progress{nullptr};

    // Presence on the bus and automatic reopen.
    nivex_device *record = nullptr;  // the caller's record, set before registering
    DeviceLink link;
    SettingsRecord settings;
    std::atomic<nivex_cb_device_event> on_device_event{nullptr};
    std::atomic<bool> auto_reopen{false};
    // The application started a capture and has not stopped it: a reopen
    // restarts it.
    std::atomic<bool> capture_wanted{false};
};

using SessionRef = std::shared_ptr<Session>;

// Registry of live sessions, keyed by the handle stored in nivex_device.
void session_register(const SessionRef &session);
void session_unregister(const Session *session);
// The live session behind dev->handle, or NULL (no lookup of a stale handle
// ever dereferences it).
SessionRef session_of(const nivex_device *dev);
// The reference the registry holds for `session`; NULL once unregistered.
SessionRef session_ref(const Session *session);
// Every live session.
std::vector<SessionRef> live_sessions();

// A public call working on a device, for the guard's lifetime: holds a
// session reference and has entered the session's gate (api_busy set).
class ApiCall {
  public:
    explicit ApiCall(nivex_device *dev);
    ~ApiCall();
    ApiCall(const ApiCall &) = delete;
    ApiCall &operator=(const ApiCall &) = delete;

    // The session; NULL when the device has none or it is being closed.
    Session *session() const { return entered_ ? session_.get() : nullptr; }
    // The device has a session that is open and not being closed.
    bool open() const { return entered_ && session_->opened.load() != 0; }
    // Blocked in a wait: api_busy does not count this call meanwhile.
    void set_blocked(bool blocked);

  private:
    nivex_device *dev_;
    SessionRef session_;
    bool entered_ = false;
};

// Opens `dev` on the transport `ops` instead of a camera's, with the
// transport's session record `priv` (handed over: the transport's dev_close
// frees it, also when the open fails). As nivex_dev_open otherwise.
nivex_device *open_on_transport(nivex_device *dev, const ll_ops *ops, void *priv);

// Logs the ERR line every device call uses when the device is not usable.
void log_no_handle(const char *fn);

}  // namespace nx
