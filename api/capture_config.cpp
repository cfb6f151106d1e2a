// Capture configuration: frame capacity and callbacks.
#include "api/callback_slot.h"
#include "api/capture.h"
#include "common/nx_log.h"

using nx::set_callback;

extern "C" {

bool nivex_cap_set_frame_buffer(nivex_device *dev, void * /*frame_buf*/, uint32_t frame_buf_size) {
    if (dev == nullptr) return false;
    nx::ApiCall call(dev);
    if (!call.open() || nivex_cap_is_ongoing(dev)) {
        NX_ERR("nivex_cap_set_frame_buffer",
               "[%s]  Set frame buffer is not allowed when device is not open or is capturing\n");
        return false;
    }
    nx::Session &session = *call.session();
    nx_stream_cfg cfg{frame_buf_size / NIVEX_FRAME_SLOT_SIZE};
    nx_stream_set_cfg(session.stream.get(), &cfg);
    NX_DBG("nivex_cap_set_frame_buffer", "[%s] frame buffer: %d frames\n",
           static_cast<int>(cfg.max_frames));
    session.cap_start_arg = 0;
    return true;
}

bool nivex_cap_get_frame_buffer(nivex_device *dev, void **frame_buf, uint32_t *frame_buf_size) {
    nx::ApiCall call(dev);
    nx_stream_cfg cfg{};
    if (call.open()) nx_stream_get_cfg(call.session()->stream.get(), &cfg);
    if (frame_buf != nullptr) *frame_buf = nullptr;
    if (frame_buf_size != nullptr) *frame_buf_size = cfg.max_frames * NIVEX_FRAME_SLOT_SIZE;
    return true;
}

bool nivex_cap_set_callback_on_frame_ready(nivex_device *dev, nivex_cb_frame_ready cb) {
    return set_callback(dev, &nx::Session::on_frame_ready, cb,
                        "nivex_cap_set_callback_on_frame_ready", "on_cap_frdy");
}

bool nivex_cap_set_callback_on_error(nivex_device *dev, nivex_cb_error cb) {
    return set_callback(dev, &nx::Session::on_error, cb, "nivex_cap_set_callback_on_error",
                        "on_cap_err");
}

bool nivex_cap_get_stats(nivex_device *dev, nivex_cap_stats *stats) {
    nx::ApiCall call(dev);
    if (!call.open() || stats == nullptr) {
        nx::log_no_handle("nivex_cap_get_stats");
        return false;
    }
    nx_stream_state state{};
    nx_stream_get_state(call.session()->stream.get(), &state);
    *stats = nivex_cap_stats{state.frames_assembled,  state.frames_queued, state.frames_discarded,
                             state.frames_overflowed, state.frames_ready,  state.bytes_skipped};
    return true;
}

// A capture that the engine ended (a transfer error, or the error callback
// asking to stop) is no longer ongoing, although its transfers stay with the
// transport until the next stop or start.
bool nivex_cap_is_ongoing(nivex_device *dev) {
    nx::SessionRef session = nx::session_of(dev);
    return session && session->capturing.load() != 0 && !session->cap.stopping();
}

}  // extern "C"
