// The ready-data step: on the fetching thread, hands the frames the parser
// has ready to the fetch's buffer and to the application's callbacks, after
// the error callback had its say about a pending error.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "api/capture.h"
#include "common/nx_log.h"

namespace nx {

namespace {

constexpr const char *kFn = "_cap_handle_rdy_data";
constexpr uint32_t kTempBufferSize = 4 * 1024 * 1024;
constexpr uint32_t kAllFrames = 0x7FFFFFFF;

// Calls the error callback for a pending error; false when it asked to stop.
bool run_error_callback(nivex_device *dev, Session &session) {
    nivex_cb_error on_error = session.on_error.load();
    const CapError shown = session.cap.pending();
    if (on_error == nullptr || shown.code == 0) return true;
    NX_TRC(kFn, "[%s] error cb invoke: %s\n", nivex_error_name(shown.code));
    bool go_on = on_error(dev, shown.code, shown.arg);
    session.cap.clear_shown(shown);
    if (go_on) return true;
    NX_DBG(kFn, "[%s] error cb return false to stop capture\n");
    session.cap.force_stop();
    NX_TRC(kFn, "[%s] error callback force cap to stop\n");
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

uint32_t next_frame_size(Session &session) {
    nx_stream_frame_info info{};
    uint8_t unused = 0;
    if (nx_stream_fetch_frames(session.stream.get(), &unused, 0, 1, &info, true) == 0) return 0;
    return info.frlen;
}

void describe_frame(Session &session, const nx_stream_frame_info &info) {
    chip_driver *drv = session.drv;
    if (drv->ops->frame_get_info == nullptr ||
        !drv->ops->frame_get_info(drv, &session.last_meta, &info)) {
        NX_ERR(kFn, "[%s]  driver frame_get_info failed!\n");
        session.last_meta = nivex_frame_meta{};
    }
}

void account_to_request(FetchRequest *req, const nivex_frame_meta &meta, uint32_t frlen) {
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
    NX_TRC(kFn, "[%s] frdy cb invoke: %u,%u\n", meta.frame_idx, meta.frame_idx);
    timeval before{}, after{};
    nx_gettimeofday(&before, nullptr);
    on_frame_ready(dev, &frame);
    nx_gettimeofday(&after, nullptr);
    long long us = (after.tv_sec - before.tv_sec) * 1000000LL + (after.tv_usec - before.tv_usec);
    NX_DBG(kFn, "[%s] frdy cb (%u,%u) spends: %d.%03u ms\n", meta.frame_idx, meta.frame_idx,
           static_cast<int>(us / 1000), static_cast<unsigned>(us % 1000));
}

}  // namespace

uint32_t cap_frames_waiting(Session &session) {
    return nx_stream_fetch_frames(session.stream.get(), nullptr, 0, kAllFrames, nullptr, true);
}

void cap_handle_rdy_data(nivex_device *dev, Session &session, FetchRequest *req, uint32_t reqmax) {
    if (!run_error_callback(dev, session)) return;
    if (session.cap.forced_stop()) {
        NX_TRC(kFn, "[%s] error callback force cap to stop\n");
        return;
    }
    // A callback may have closed the device: hand out nothing more.
    if (reqmax == 0 || session.calls.is_shut()) return;
    // One pass takes the frames waiting now, not those that arrive meanwhile:
    // a camera that delivers frames faster than the callback consumes them
    // would otherwise keep the caller here for ever.
    const uint32_t waiting = cap_frames_waiting(session);
    if (waiting == 0) return;
    const bool to_request = req != nullptr && req->remaining > 0 && req->buf != nullptr;
    nivex_cb_frame_ready on_frame_ready = session.on_frame_ready.load();
    // A running recording needs every frame whole, as the callback does.
    const std::shared_ptr<rec::Recorder> recorder = session.current_recorder();
    TempBuffer temp;
    uint32_t handled = 0;
    for (uint32_t frlen; handled < waiting && (frlen = next_frame_size(session)) != 0; ++handled) {
        // Without a frame-ready callback, frames beyond a served request stay
        // ready for the next fetch instead of being dropped unseen.
        if (req != nullptr && req->remaining == 0 && on_frame_ready == nullptr) break;
        if (session.calls.is_shut()) break;
        // A frame that does not fit the request's room is still cut into it,
        // but the callback gets it whole from the temporary buffer.
        const bool whole_in_request = to_request && req->buf_size >= frlen;
        const bool via_temp = (on_frame_ready != nullptr || recorder) && !whole_in_request;
        uint8_t *dst = to_request ? req->buf : nullptr;
        uint32_t dst_len = to_request ? req->buf_size : 0;
        if (via_temp) {
            dst = temp.reserve(frlen);
            if (dst == nullptr) {
                NX_ERR(kFn, "[%s] malloc failed\n");
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
        if (recorder && dst != nullptr) recorder->append_frame(info, session.last_meta, dst);
        account_to_request(req, session.last_meta, info.frlen);
        if (dst != nullptr) session.health.count_delivered();
        if (on_frame_ready != nullptr)
            call_frame_ready(dev, on_frame_ready, session.last_meta, dst);
    }
    NX_TRC(kFn, "[%s] handle %u ready frames (reqmax: %d, rem: %d)\n", handled,
           static_cast<int>(reqmax), static_cast<int>(req != nullptr ? req->remaining : reqmax));
}

}  // namespace nx
