// Capture start and stop, and the handler of the transport's capture events.
#include <cstring>

#include "api/capture.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx {

std::atomic<int32_t> g_cap_fps{0};

namespace {

// More transfer time-outs than this since the start end the capture.
constexpr int32_t kMaxTimeouts = 32;
// More stalls than this without a data chunk in between end the capture.
constexpr int32_t kMaxStalls = 16;
constexpr uint32_t kMinFrames = 2;

nx_session &session_of_arg(void *arg) {
    return *static_cast<nx_session *>(arg);
}

void signal_one(nx_session &session) {
    std::lock_guard lock(session.cap_mutex);
    ++session.cap_events;
    session.cap_cond.notify_one();
}

// Marks the capture as ended by an error; the first error wins.
void fail_capture(nx_session &session, int32_t err) {
    if (session.cap_stop_flag.load() != 0) return;
    if (err == NIVEX_ERR_CAP_TIMEOUT) NX_WRN("on_capture_event", "[%s] trans timeout -> stop\n");
    if (err == NIVEX_ERR_CAP_STALL) NX_WRN("on_capture_event", "[%s] trans stall -> stop\n");
    session.cap_stop_flag = 1;
    session.cap_err = err;
    session.cap_err_arg = 0;
    nivex_ll_cap_abort(&session);
}

void on_data(nx_session &session, uint8_t *data, int len) {
    session.trans_stall_cnt = 0;
    if (len <= 0) return;
    if (nx_stream_feed_input(session.stream.get(), data, static_cast<uint32_t>(len))) {
        signal_one(session);
    }
}

// Turns a grown discard count into a pending discard report.
void report_discards(nx_session &session) {
    nx_stream_state state{};
    nx_stream_get_state(session.stream.get(), &state);
    if (state.frames_discarded > session.stream_state.frames_discarded) {
        NX_DBG("on_capture_event", "[%s] trans discard %d frames\n",
               static_cast<int>(state.frames_discarded - session.stream_state.frames_discarded));
        session.cap_err = NIVEX_ERR_CAP_FRAME_DISCARD;
        session.discard_cnt = state.frames_discarded;
        session.cap_err_arg = state.frames_discarded;
    }
    session.stream_state = state;
}

uint32_t read_frame_rate(nx_session &session) {
    ll_param_entry entry{};
    entry.id = NIVEX_PARAM_FRAME_RATE;
    entry.len = 4;
    NX_DBG("_nivex_param_batch_get", "[%s] get %d param\n", 1);
    if (!nivex_ll_param_get(&session, &entry, 1)) return 0;
    uint32_t fps;
    std::memcpy(&fps, entry.val, sizeof fps);
    return fps;
}

void reset_capture_state(nx_session &session) {
    session.trans_timeout_cnt = 0;
    session.trans_stall_cnt = 0;
    session.discard_cnt = 0;
    session.cap_force_stop = 0;
    session.cap_err = 0;
    session.cap_err_arg = 0;
    session.cap_stop_flag = 0;
    nx_stream_reset(session.stream.get());
    session.stream_state = nx_stream_state{};
}

}  // namespace

void cap_wake_all(nx_session &session) {
    std::lock_guard lock(session.cap_mutex);
    ++session.cap_events;
    session.cap_cond.notify_all();
}

int on_capture_event(ll_device * /*ll*/, int event, uint8_t *data, int len, void *arg) {
    nx_session &session = session_of_arg(arg);
    switch (event) {
        case LL_CAP_EVT_DATA:
            on_data(session, data, len);
            break;
        case LL_CAP_EVT_CANCELLED:
            session.cap_stop_flag = 1;
            nivex_ll_cap_abort(&session);
            break;
        case LL_CAP_EVT_TIMEOUT:
            if (++session.trans_timeout_cnt > kMaxTimeouts) {
                fail_capture(session, NIVEX_ERR_CAP_TIMEOUT);
            }
            break;
        case LL_CAP_EVT_STALL:
            if (++session.trans_stall_cnt > kMaxStalls) {
                fail_capture(session, NIVEX_ERR_CAP_STALL);
            }
            break;
        default:
            // Any other failure ends the capture at once; the code is kept as it came.
            session.cap_err = event;
            session.cap_err_arg = 0;
            if (session.cap_stop_flag.exchange(1) == 0) nivex_ll_cap_abort(&session);
            // Wake the fetches: they return the error instead of waiting it out.
            cap_wake_all(session);
            return 0;
    }
    report_discards(session);
    if (session.cap_err.load() != 0 || session.cap_stop_flag.load() != 0) cap_wake_all(session);
    return 0;
}

void cap_stop_running(nx_session &session) {
    NX_TRC("_nivex_cap_stop", "[%s] Enter\n");
    session.cap_stop_flag = 1;
    bool stopped = nivex_ll_cap_stop(&session);
    cap_wake_all(session);
    session.capturing = stopped ? 0 : 1;
    NX_TRC("_nivex_cap_stop", "[%s] Exit\n");
}

}  // namespace nx

using nx::nx_session;

extern "C" {

bool nivex_cap_start(nivex_device *dev) {
    nx::ApiCall call(dev);
    if (!call.open() || call.session()->priv == nullptr) {
        nx::log_no_handle("nivex_cap_start");
        return false;
    }
    nx_session &session = *call.session();
    if (session.capturing.load()) nx::cap_stop_running(session);
    if (uint32_t fps = nx::read_frame_rate(session); fps != 0) {
        nx::g_cap_fps = static_cast<int32_t>(fps);
    }
    nx_stream_cfg cfg{};
    nx_stream_get_cfg(session.stream.get(), &cfg);
    if (cfg.max_frames < nx::kMinFrames) {
        NX_ERR("_nivex_cap_start", "[%s]  capture buffer not set or size is not correct \n");
        return false;
    }
    NX_TRC("_nivex_cap_start", "[%s] Enter ... \n");
    if (session.priv == nullptr) {
        nx::log_no_handle("_nivex_cap_start");
        return false;
    }
    nx::reset_capture_state(session);
    NX_DBG("_nivex_cap_start", "[%s] issue start cmd\n");
    bool started =
        nivex_ll_cap_start(&session, session.cap_start_arg, nx::on_capture_event, &session);
    if (started) session.capturing = 1;
    return started;
}

bool nivex_cap_stop(nivex_device *dev) {
    NX_DBG("nivex_cap_stop", "[%s] Enter\n");
    nx::ApiCall call(dev);
    if (call.session() == nullptr || call.session()->opened.load() == 0) {
        nx::log_no_handle("nivex_cap_stop");
        return false;
    }
    if (call.session()->capturing.load()) nx::cap_stop_running(*call.session());
    return true;
}

}  // extern "C"
