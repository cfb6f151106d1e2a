// Capture engine internals shared by its files.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/session.h"

namespace nx {

// Frame rate read at the last capture start, shared by all devices.
extern std::atomic<int32_t> g_cap_fps;

// Wakes every thread blocked in a fetch or wait on the session.
void cap_wake_all(nx_session &session);

// The transport's capture event callback (runs on the event thread).
int on_capture_event(ll_device *ll, int event, uint8_t *data, int len, void *arg);

// Stops a running capture: flag, transport stop, wake-up. The caller holds an ApiCall.
void cap_stop_running(nx_session &session);

// Takes ready frames out of the parser into the current request's buffer and
// the callbacks, on the application thread.
void cap_handle_rdy_data(nivex_device *dev, nx_session &session, uint32_t reqmax);

}  // namespace nx
