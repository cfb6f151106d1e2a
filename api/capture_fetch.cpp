// Taking frames out of a running capture, on application threads: blocking
// fetches, single-frame polls, snapshots and callback-driven waits.
//
// Fetches on one device are served one at a time, in turn: each gets whole
// frames and none is lost between two of them. A fetch that cannot get its
// turn before its own deadline returns what it has, 0; a single-frame poll
// does not wait for its turn; a fetch from inside a capture callback (the
// thread is fetching already) is refused with -1.
#include <cerrno>
#include <chrono>
#include <cstring>

#include "api/capture.h"
#include "api/device_events.h"
#include "common/nx_log.h"

namespace nx {

namespace {

constexpr const char *kFetchFn = "_nivex_cap_get_frames";
constexpr const char *kWaitFn = "nivex_cap_wait";
constexpr int32_t kDefaultFps = 20;
constexpr uint32_t kAllFrames = 0x7FFFFFFF;

// This thread's turn to fetch from the session, for the object's lifetime.
class FetchTurn {
  public:
    FetchTurn(Session &session, const Clock::time_point *deadline, bool wait) : session_(session) {
        auto closing = [&session] { return session.calls.is_shut(); };
        turn_ = session.cap.take_turn(deadline, wait, closing);
    }
    ~FetchTurn() {
        if (turn_ == CaptureState::Turn::kTaken) session_.cap.give_turn();
    }
    FetchTurn(const FetchTurn &) = delete;
    FetchTurn &operator=(const FetchTurn &) = delete;

    bool taken() const { return turn_ == CaptureState::Turn::kTaken; }
    // The thread is fetching already: a callback called a fetch.
    bool nested() const { return turn_ == CaptureState::Turn::kNested; }

  private:
    Session &session_;
    CaptureState::Turn turn_;
};

FetchRequest make_request(uint32_t frames, void *buf, uint32_t buf_size,
                          nivex_frame_meta *first_meta) {
    FetchRequest req;
    req.total = req.remaining = frames;
    req.buf = static_cast<uint8_t *>(buf);
    req.buf_size = buf != nullptr ? buf_size : 0;
    req.first_meta = first_meta;
    return req;
}

bool closing(Session &session) {
    return session.calls.is_shut();
}

// 100 ms and one frame period per frame, plus 2 s (unsigned 32-bit).
uint32_t fetch_timeout_ms(uint32_t frame_num) {
    int32_t fps = g_cap_fps.load();
    uint32_t period = 50;
    if (fps <= 0) {
        g_cap_fps = kDefaultFps;
    } else {
        period = 1000u / static_cast<uint32_t>(fps);
    }
    return frame_num * 1000u / 10u + frame_num * period + 2000u;
}

// A pending fatal error: the error callback has its say and the frames still
// ready are handed out; frames delivered are reported, else the error.
int report_pending_error(nivex_device *dev, Session &session, FetchRequest &req) {
    const CapError shown = session.cap.pending();
    cap_handle_rdy_data(dev, session, &req, req.total);
    return req.delivered() > 0 ? static_cast<int>(req.delivered()) : shown.code;
}

// The last pass of a fetch: what arrived meanwhile, then the result. A
// capture that has ended (an error, a stop asked by the error callback)
// reports how it ended once nothing is left to hand out, never "0 frames"
// again and again.
int finish_fetch(nivex_device *dev, Session &session, FetchRequest &req) {
    const bool capturing = session.capturing.load() != 0;
    if (!capturing) NX_TRC(kFetchFn, "[%s] device is not capturing\n");
    cap_handle_rdy_data(dev, session, &req, req.remaining);
    if (!capturing) return NIVEX_ERR_NOT_CAPTURING;
    if (req.delivered() > 0) return static_cast<int>(req.delivered());
    const CapError pending = session.cap.pending();
    if (pending.code < 0) return pending.code;
    const CaptureState &cap = session.cap;
    if (cap.stopping() && (cap.forced_stop() || cap_frames_waiting(session) == 0)) {
        return cap.ended_result();
    }
    return 0;
}

// Waits for the next wake-up of the capture engine after `seen`.
bool wait_for_event(Session &session, uint64_t seen, const Clock::time_point *deadline) {
    return session.cap.wait(seen, deadline, [&session] { return closing(session); });
}

int refuse_nested(const char *fn) {
    NX_DBG(fn, "[%s] refused: called from a capture callback of this device\n");
    return NIVEX_ERR_WRONG_PARAMS;
}

// The work of nivex_cap_get_frames on an open session.
int fetch_frames(nivex_device *dev, Session &session, int frame_num, void *frame_data,
                 uint32_t frame_dlen, nivex_frame_meta *first_frame_info, uint32_t timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    NX_TRC(kFetchFn, "[%s] frame_num = %d, timeout_msec=%d\n", frame_num,
           static_cast<int>(timeout_ms));
    FetchTurn turn(session, &deadline, true);
    if (turn.nested()) return refuse_nested(kFetchFn);
    FetchRequest req =
        make_request(static_cast<uint32_t>(frame_num), frame_data, frame_dlen, first_frame_info);
    if (!turn.taken()) {
        NX_INF(kFetchFn, "[%s]  timeout ... (%s)\n", std::strerror(ETIMEDOUT));
        return session.capturing.load() ? 0 : NIVEX_ERR_NOT_CAPTURING;
    }
    if (session.cap.pending().code < 0) return report_pending_error(dev, session, req);
    while (!session.cap.stopping() && !closing(session)) {
        uint64_t seen = session.cap.wakeups();
        cap_handle_rdy_data(dev, session, &req, req.remaining);
        if (req.remaining == 0) break;
        if (!wait_for_event(session, seen, &deadline)) {
            NX_INF(kFetchFn, "[%s]  timeout ... (%s)\n", std::strerror(ETIMEDOUT));
            break;
        }
    }
    return finish_fetch(dev, session, req);
}

// The work of nivex_cap_get_frame on an open session.
int fetch_ready_frame(nivex_device *dev, Session &session, void *frame_data, uint32_t frame_dlen,
                      nivex_frame_meta *frame_info) {
    NX_TRC(kFetchFn, "[%s] frame_num = %d, timeout_msec=%d\n", 1, 0);
    FetchTurn turn(session, nullptr, false);
    if (turn.nested()) return refuse_nested(kFetchFn);
    // Another thread is fetching: no frame for this caller now.
    if (!turn.taken()) return session.capturing.load() ? 0 : NIVEX_ERR_NOT_CAPTURING;
    FetchRequest req = make_request(1, frame_data, frame_dlen, frame_info);
    if (session.cap.pending().code < 0) return report_pending_error(dev, session, req);
    return finish_fetch(dev, session, req);
}

// The work of nivex_cap_wait on an open, capturing session.
bool wait_frames(nivex_device *dev, ApiCall &call, Session &session, uint32_t timeout_msec) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_msec);
    const Clock::time_point *limit = timeout_msec != 0 ? &deadline : nullptr;
    call.set_blocked(true);
    FetchTurn turn(session, limit, true);
    call.set_blocked(false);
    if (turn.nested()) {
        refuse_nested(kWaitFn);
        return false;
    }
    if (!turn.taken()) {
        NX_INF(kWaitFn, "[%s]  timeout ...\n");
        return false;
    }
    bool result = true;
    if (session.cap.pending().code >= 0 && !session.cap.stopping()) {
        uint64_t seen = session.cap.wakeups();
        for (;;) {
            // Blocked: api_busy does not count this call meanwhile.
            call.set_blocked(true);
            bool woke = wait_for_event(session, seen, limit);
            call.set_blocked(false);
            if (!woke) {
                NX_INF(kWaitFn, "[%s]  timeout ...\n");
                result = false;
                break;
            }
            seen = session.cap.wakeups();
            cap_handle_rdy_data(dev, session, nullptr, kAllFrames);
            if (session.cap.stopping() || closing(session)) break;
        }
    }
    cap_handle_rdy_data(dev, session, nullptr, kAllFrames);
    return result;
}

}  // namespace

}  // namespace nx

using nx::Session;

extern "C" {

int nivex_cap_get_frames(nivex_device *dev, int frame_num, void *frame_data, uint32_t frame_dlen,
                         nivex_frame_meta *first_frame_info) {
    uint32_t timeout_ms = nx::fetch_timeout_ms(static_cast<uint32_t>(frame_num));
    nx::ApiCall call(dev);
    if (!call.open() || frame_num <= 0) {
        NX_DBG(nx::kFetchFn, "[%s] Wrong params\n");
        return NIVEX_ERR_WRONG_PARAMS;
    }
    Session &session = *call.session();
    nx::deliver_device_events(dev, session);
    const int got = nx::fetch_frames(dev, session, frame_num, frame_data, frame_dlen,
                                     first_frame_info, timeout_ms);
    nx::deliver_device_events(dev, session);
    return got;
}

int nivex_cap_get_frame(nivex_device *dev, void *frame_data, uint32_t frame_dlen,
                        nivex_frame_meta *frame_info) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG(nx::kFetchFn, "[%s] Wrong params\n");
        return NIVEX_ERR_WRONG_PARAMS;
    }
    Session &session = *call.session();
    nx::deliver_device_events(dev, session);
    const int got = nx::fetch_ready_frame(dev, session, frame_data, frame_dlen, frame_info);
    nx::deliver_device_events(dev, session);
    return got;
}

bool nivex_cap_snapshot(nivex_device *dev, void *frame_data, uint32_t frame_dlen,
                        nivex_frame_meta *frame_info) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_ERR("nivex_cap_snapshot", "[%s] wrong parameters\n");
        return false;
    }
    if (call.session()->capturing.load()) {
        return nivex_cap_get_frames(dev, 1, frame_data, frame_dlen, frame_info) > 0;
    }
    if (!nivex_cap_start(dev)) return false;
    int got = nivex_cap_get_frames(dev, 1, frame_data, frame_dlen, frame_info);
    nivex_cap_stop(dev);
    return got > 0;
}

bool nivex_cap_wait(nivex_device *dev, uint32_t timeout_msec) {
    NX_DBG(nx::kWaitFn, "[%s] timeout_msec=%d\n", static_cast<int>(timeout_msec));
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG(nx::kWaitFn, "[%s] Wrong params\n");
        return false;
    }
    Session &session = *call.session();
    if (!session.capturing.load()) {
        NX_DBG(nx::kWaitFn, "[%s] device is not capturing\n");
        return false;
    }
    nx::deliver_device_events(dev, session);
    const bool result = nx::wait_frames(dev, call, session, timeout_msec);
    nx::deliver_device_events(dev, session);
    return result;
}

}  // extern "C"
