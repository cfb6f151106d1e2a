// Capture engine internals shared by its files. The files are split by the
// thread that runs them: capture_events.cpp on the transport's event thread,
// capture_control.cpp (start, stop), capture_fetch.cpp and
// capture_rdy_data.cpp (taking frames out) on application threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/session.h"

namespace nx {

// Frame rate read at the last capture start, shared by all devices.
extern std::atomic<int32_t> g_cap_fps;

// A fetch in progress: where its next frames go. Lives on the fetching
// thread's stack; only that thread touches it.
struct FetchRequest {
    uint32_t total = 0;      // frames asked for
    uint32_t remaining = 0;  // frames still to deliver
    uint8_t *buf = nullptr;  // where the next frame goes
    uint32_t buf_size = 0;   // bytes left in buf
    nivex_frame_meta *first_meta = nullptr;

    uint32_t delivered() const { return total - remaining; }
};

// The transport's capture event callback (runs on the event thread).
int on_capture_event(ll_device *ll, int event, uint8_t *data, int len, void *arg);

// Stops a running capture: flag, transport stop, wake-up. The caller holds
// the session's command lock.
void cap_stop_running(Session &session);

// Starts the capture again on a reopened transport, which runs none; the
// session stays "capturing" throughout, so fetches never see -2 meanwhile.
// On failure the capture is ended with NIVEX_ERR_CAP_UNKNOWN. The caller
// holds the command lock.
bool cap_restart_locked(Session &session);

// Takes ready frames out of the parser into the request's buffer (NULL: no
// request) and the callbacks, on the fetching thread, which holds the turn.
void cap_handle_rdy_data(nivex_device *dev, Session &session, FetchRequest *req, uint32_t reqmax);
// Complete frames waiting in the session's parser.
uint32_t cap_frames_waiting(Session &session);

}  // namespace nx
