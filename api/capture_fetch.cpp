// Taking frames out of a running capture, on the application's thread:
// blocking fetches, single-frame polls, snapshots and callback-driven waits.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "api/capture.h"
#include "common/nx_log.h"

namespace nx {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kTempBufferSize = 4 * 1024 * 1024;
constexpr int32_t kDefaultFps = 20;
constexpr uint32_t kWaitAll = 0x7FFFFFFF;

// Publishes a fetch request for the ready-data step and withdraws it.
class RequestScope {
  public:
    RequestScope(nx_session &session, uint32_t frames, void *buf, uint32_t buf_size,
                 nivex_frame_meta *first_meta)
        : session_(session) {
        req_.total = req_.remaining = frames;
        req_.buf = static_cast<uint8_t *>(buf);
        req_.buf_size = buf != nullptr ? buf_size : 0;
        req_.first_meta = first_meta;
        session_.fetch_req = &req_;
    }
    ~RequestScope() { session_.fetch_req = nullptr; }
    RequestScope(const RequestScope &) = delete;
    RequestScope &operator=(const RequestScope &) = delete;

    const cap_fetch_req &req() const { return req_; }
    uint32_t delivered() const { return req_.total - req_.remaining; }

  private:
    nx_session &session_;
    cap_fetch_req req_;
};

// Calls the error callback for a pending error; false when it asked to stop.
bool run_error_callback(nivex_device *dev, nx_session &session) {
    nivex_cb_error on_error = session.on_error.load();
    int32_t err = session.cap_err.load();
    if (on_error == nullptr || err == 0) return true;
    NX_TRC("_cap_handle_rdy_data", "[%s] error cb invoke: %s\n", nivex_error_name(err));
    bool go_on = on_error(dev, err, session.cap_err_arg.load());
    // Clear only the error reported; one that arrived meanwhile stays pending.
    session.cap_err.compare_exchange_strong(err, 0);
    if (go_on) return true;
    NX_DBG("_cap_handle_rdy_data", "[%s] error cb return false to stop capture\n");
    session.cap_stop_flag = 1;
    session.cap_force_stop = 1;
    NX_TRC("_cap_handle_rdy_data", "[%s] error callback force cap to stop\n");
    return false;
}

// Room for callback-only frames: at least 4 MiB, more for a larger frame.
class TempBuffer {
  public:
    uint8_t *reserve(uint32_t size) {
        size = std::max(size, kTempBufferSize);
        if (size <= size_) return data_.get();
        try {
            data_ = std::make_unique_for_overwrite<uint8_t[]>(size);
            size_ = size;
        } catch (const std::bad_alloc &) {
            data_.reset();
            size_ = 0;
        }
        return data_.get();
    }
    uint32_t size() const { return size_; }

  private:
    std::unique_ptr<uint8_t[]> data_;
    uint32_t size_ = 0;
};

uint32_t frames_waiting(nx_session &session) {
    return nx_stream_fetch_frames(session.stream.get(), nullptr, 0, kWaitAll, nullptr, true);
}

uint32_t next_frame_size(nx_session &session) {
    nx_stream_frame_info info{};
    uint8_t unused = 0;
    if (nx_stream_fetch_frames(session.stream.get(), &unused, 0, 1, &info, true) == 0) return 0;
    return info.frlen;
}

void describe_frame(nx_session &session, const nx_stream_frame_info &info) {
    chip_driver *drv = session.drv;
    if (drv->ops->frame_get_info == nullptr ||
        !drv->ops->frame_get_info(drv, &session.last_meta, &info)) {
        NX_ERR("_cap_handle_rdy_data", "[%s]  driver frame_get_info failed!\n");
        session.last_meta = nivex_frame_meta{};
    }
}

void account_to_request(cap_fetch_req *req, const nivex_frame_meta &meta, uint32_t frlen) {
    if (req == nullptr || req->remaining == 0) return;
    if (req->remaining == req->total && req->first_meta != nullptr) *req->first_meta = meta;
    if (req->buf != nullptr && req->buf_size >= frlen) {
        req->buf += frlen;
        req->buf_size -= frlen;
    }
    --req->remaining;
}

void call_frame_ready(nivex_device *dev, nivex_cb_frame_ready on_frame_ready,
                      const nivex_frame_meta &meta, uint8_t *data) {
    nivex_frame frame{meta, data};
    NX_TRC("_cap_handle_rdy_data", "[%s] frdy cb invoke: %u,%u\n", meta.frame_idx, meta.frame_idx);
    timeval before{}, after{};
    nx_gettimeofday(&before, nullptr);
    on_frame_ready(dev, &frame);
    nx_gettimeofday(&after, nullptr);
    long long us = (after.tv_sec - before.tv_sec) * 1000000LL + (after.tv_usec - before.tv_usec);
    NX_DBG("_cap_handle_rdy_data", "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", meta.frame_idx,
           meta.frame_idx, static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

// Blocks until the engine signals something new after `seen`, the capture
// stops, the device closes or the deadline passes (false). A passed deadline
// ends the wait even while events keep coming: a streaming camera would
// otherwise keep a bounded wait going for ever.
bool wait_for_event(nx_session &session, uint64_t seen, const Clock::time_point *deadline) {
    if (deadline != nullptr && Clock::now() >= *deadline) return false;
    std::unique_lock lock(session.cap_mutex);
    auto ready = [&] {
        return session.cap_events != seen || session.cap_stop_flag.load() != 0 ||
               session.closing.load();
    };
    if (deadline == nullptr) {
        session.cap_cond.wait(lock, ready);
        return true;
    }
    return session.cap_cond.wait_until(lock, *deadline, ready);
}

uint64_t events_seen(nx_session &session) {
    std::lock_guard lock(session.cap_mutex);
    return session.cap_events;
}

}  // namespace

void cap_handle_rdy_data(nivex_device *dev, nx_session &session, uint32_t reqmax) {
    if (!run_error_callback(dev, session)) return;
    if (session.cap_force_stop.load()) {
        NX_TRC("_cap_handle_rdy_data", "[%s] error callback force cap to stop\n");
        return;
    }
    if (reqmax == 0 || session.closing.load()) return;
    // One pass takes the frames waiting now, not those that arrive meanwhile:
    // a camera that delivers frames faster than the callback consumes them
    // would otherwise keep the caller here for ever.
    const uint32_t waiting = frames_waiting(session);
    if (waiting == 0) return;
    cap_fetch_req *req = session.fetch_req.load();
    bool to_request = req != nullptr && req->remaining > 0 && req->buf != nullptr;
    nivex_cb_frame_ready on_frame_ready = session.on_frame_ready.load();
    TempBuffer temp;
    uint32_t handled = 0;
    for (uint32_t frlen; handled < waiting && (frlen = next_frame_size(session)) != 0; ++handled) {
        // Without a frame-ready callback, frames beyond a served request stay
        // ready for the next fetch instead of being dropped unseen.
        if (req != nullptr && req->remaining == 0 && on_frame_ready == nullptr) break;
        // A frame that does not fit the request's room is still cut into it,
        // but the callback gets it whole from the temporary buffer.
        bool whole_in_request = to_request && req->buf_size >= frlen;
        bool via_temp = on_frame_ready != nullptr && !whole_in_request;
        uint8_t *dst = to_request ? req->buf : nullptr;
        uint32_t dst_len = to_request ? req->buf_size : 0;
        if (via_temp) {
            dst = temp.reserve(frlen);
            if (dst == nullptr) {
                NX_ERR("_cap_handle_rdy_data", "[%s] malloc failed\n");
                return;
            }
            dst_len = temp.size();
        }
        nx_stream_frame_info info{};
        if (nx_stream_fetch_frames(session.stream.get(), dst, dst_len, 1, &info, false) == 0) {
            break;
        }
        if (via_temp && to_request) std::memcpy(req->buf, dst, std::min(req->buf_size, frlen));
        describe_frame(session, info);
        account_to_request(req, session.last_meta, info.frlen);
        if (on_frame_ready != nullptr)
            call_frame_ready(dev, on_frame_ready, session.last_meta, dst);
    }
    NX_TRC("_cap_handle_rdy_data", "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", handled,
           static_cast<int>(reqmax), static_cast<int>(req != nullptr ? req->remaining : reqmax));
}

}  // namespace nx

using nx::nx_session;

namespace {

// 100 ms and one frame period per frame, plus 2 s (unsigned 32-bit).
uint32_t fetch_timeout_ms(uint32_t frame_num) {
    int32_t fps = nx::g_cap_fps.load();
    uint32_t period = 50;
    if (fps <= 0) {
        nx::g_cap_fps = nx::kDefaultFps;
    } else {
        period = 1000u / static_cast<uint32_t>(fps);
    }
    return frame_num * 1000u / 10u + frame_num * period + 2000u;
}

// A fetch that ended without a frame because of a pending error reports it.
int fetch_result(nx_session &session, uint32_t delivered) {
    int32_t err = session.cap_err.load();
    if (delivered == 0 && err < 0) return err;
    return static_cast<int>(delivered);
}

// A pending error is returned at once, after the error callback had its say
// and the frames still ready were handed out.
int report_pending_error(nivex_device *dev, nx_session &session, const nx::RequestScope &request) {
    nx::cap_handle_rdy_data(dev, session, request.req().total);
    int32_t err = session.cap_err.load();
    return err < 0 ? err : static_cast<int>(request.delivered());
}

// The last pass of a fetch: what arrived meanwhile, then the result.
int finish_fetch(nivex_device *dev, nx_session &session, const nx::RequestScope &request) {
    bool capturing = session.capturing.load();
    if (!capturing) NX_TRC("_nivex_cap_get_frames", "[%s] device is not capturing\n");
    nx::cap_handle_rdy_data(dev, session, request.req().remaining);
    return capturing ? fetch_result(session, request.delivered()) : NIVEX_ERR_NOT_CAPTURING;
}

}  // namespace

extern "C" {

int nivex_cap_get_frames(nivex_device *dev, int frame_num, void *frame_data, uint32_t frame_dlen,
                         nivex_frame_meta *first_frame_info) {
    uint32_t timeout_ms = fetch_timeout_ms(static_cast<uint32_t>(frame_num));
    nx::ApiCall call(dev);
    if (!call.open() || frame_num <= 0) {
        NX_DBG("_nivex_cap_get_frames", "[%s] Wrong params\n");
        return NIVEX_ERR_WRONG_PARAMS;
    }
    nx_session &session = *call.session();
    auto deadline = nx::Clock::now() + std::chrono::milliseconds(timeout_ms);
    NX_TRC("_nivex_cap_get_frames", "[%s] frame_num = %d, timeout_msec=%d\n", frame_num,
           static_cast<int>(timeout_ms));
    nx::RequestScope request(session, static_cast<uint32_t>(frame_num), frame_data, frame_dlen,
                             first_frame_info);
    if (session.cap_err.load() < 0) return report_pending_error(dev, session, request);
    while (session.cap_stop_flag.load() == 0 && !session.closing.load()) {
        uint64_t seen = nx::events_seen(session);
        nx::cap_handle_rdy_data(dev, session, request.req().remaining);
        if (request.req().remaining == 0) break;
        if (!nx::wait_for_event(session, seen, &deadline)) {
            NX_INF("_nivex_cap_get_frames", "[%s]  timeout ... (%s)\n", std::strerror(ETIMEDOUT));
            break;
        }
    }
    return finish_fetch(dev, session, request);
}

int nivex_cap_get_frame(nivex_device *dev, void *frame_data, uint32_t frame_dlen,
                        nivex_frame_meta *frame_info) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG("_nivex_cap_get_frames", "[%s] Wrong params\n");
        return NIVEX_ERR_WRONG_PARAMS;
    }
    nx_session &session = *call.session();
    NX_TRC("_nivex_cap_get_frames", "[%s] frame_num = %d, timeout_msec=%d\n", 1, 0);
    nx::RequestScope request(session, 1, frame_data, frame_dlen, frame_info);
    if (session.cap_err.load() < 0) return report_pending_error(dev, session, request);
    if (session.cap_stop_flag.load() == 0) {
        // Lets an event being handled right now finish first.
        std::lock_guard lock(session.cap_mutex);
    }
    return finish_fetch(dev, session, request);
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
    NX_DBG("nivex_cap_wait", "[%s] timeout_msec=%d\n", static_cast<int>(timeout_msec));
    nx::ApiCall call(dev);
    if (!call.open()) {
        NX_DBG("nivex_cap_wait", "[%s] Wrong params\n");
        return false;
    }
    nx_session &session = *call.session();
    if (!session.capturing.load()) {
        NX_DBG("nivex_cap_wait", "[%s] device is not capturing\n");
        return false;
    }
    auto deadline = nx::Clock::now() + std::chrono::milliseconds(timeout_msec);
    const nx::Clock::time_point *limit = timeout_msec != 0 ? &deadline : nullptr;
    bool result = true;
    if (session.cap_err.load() >= 0 && session.cap_stop_flag.load() == 0) {
        uint64_t seen = nx::events_seen(session);
        for (;;) {
            // Not busy while blocked: a close from another thread need not wait for us.
            call.suspend();
            bool woke = nx::wait_for_event(session, seen, limit);
            call.resume();
            if (!woke) {
                NX_INF("nivex_cap_wait", "[%s]  timeout ...\n");
                result = false;
                break;
            }
            seen = nx::events_seen(session);
            nx::cap_handle_rdy_data(dev, session, nx::kWaitAll);
            if (session.cap_stop_flag.load() != 0 || session.closing.load()) break;
        }
    }
    nx::cap_handle_rdy_data(dev, session, nx::kWaitAll);
    return result;
}

}  // extern "C"
