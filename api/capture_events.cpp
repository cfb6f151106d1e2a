// The capture engine's side of the transport's event thread: every completed
// capture transfer arrives here, its bytes go to the stream parser and what
// went wrong becomes the capture state's business. Runs on the camera's event
// thread: nothing here may block on a command or an application thread.
#include "api/capture.h"
#include "api/device_events.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx {

namespace {

constexpr const char *kFn = "on_capture_event";

// Ends the capture with a fatal error; the transfers of a capture that was
// still running stop being resubmitted.
void end_capture(Session &session, int32_t err) {
    if (err == NIVEX_ERR_CAP_TIMEOUT) NX_WRN(kFn, "[%s] trans timeout -> stop\n");
    if (err == NIVEX_ERR_CAP_STALL) NX_WRN(kFn, "[%s] trans stall -> stop\n");
    if (session.cap.end_with(err)) nivex_ll_cap_abort(&session);
}

// True when a frame became complete.
bool feed(Session &session, const uint8_t *data, int len) {
    if (len <= 0) return false;
    return nx_stream_feed_input(session.stream.get(), data, static_cast<size_t>(len));
}

// True when the parser's discard count grew (a discard report is pending
// unless a fatal error is).
bool report_discards(Session &session) {
    nx_stream_state state{};
    nx_stream_get_state(session.stream.get(), &state);
    const uint32_t fresh = session.cap.report_discards(state.frames_discarded);
    if (fresh == 0) return false;
    session.health.note_fault(NIVEX_ERR_CAP_FRAME_DISCARD);
    NX_DBG(kFn, "[%s] trans discard %d frames\n", static_cast<int>(fresh));
    return true;
}

}  // namespace

int on_capture_event(ll_device * /*ll*/, int event, uint8_t *data, int len, void *arg) {
    Session &session = *static_cast<Session *>(arg);
    CaptureState &cap = session.cap;
    session.health.note_transfer(event, len);
    // A transfer that timed out, stalled or was cancelled still carries the
    // bytes that arrived before: they are stream bytes like any others.
    const bool frame_done = feed(session, data, len);
    switch (event) {
        case LL_CAP_EVT_DATA:
            cap.note_data();
            break;
        case LL_CAP_EVT_CANCELLED:
            if (cap.end_by_cancel()) nivex_ll_cap_abort(&session);
            break;
        case LL_CAP_EVT_TIMEOUT:
            if (cap.count_timeout()) end_capture(session, NIVEX_ERR_CAP_TIMEOUT);
            break;
        case LL_CAP_EVT_STALL:
            if (cap.count_stall()) end_capture(session, NIVEX_ERR_CAP_STALL);
            break;
        default:
            // Any other failure ends the capture at once; the code is kept as it came.
            end_capture(session, event);
            break;
    }
    // A failure may be the camera leaving the bus: the device event says so.
    if (event != LL_CAP_EVT_DATA) note_if_gone(session);
    const bool discarded = report_discards(session);
    if (frame_done || discarded || event != LL_CAP_EVT_DATA) cap.wake_all();
    return 0;
}

}  // namespace nx
