// The nx_stream C interface and the stream's life cycle. No exception leaves
// these functions.
#include <sys/time.h>

#include <memory>
#include <mutex>
#include <new>

#include "common/nx_log.h"
#include "stream/stream_parser.h"

void nx::stream::Counters::clear() {
    for (std::atomic<uint32_t> *c :
         {&frames_assembled, &frames_queued, &frames_discarded, &frames_overflowed, &frames_ready,
          &bytes_skipped, &frames_bad_sum, &frames_ready_peak}) {
        c->store(0, std::memory_order_relaxed);
    }
    timeval now{};
    nx_gettimeofday(&now, nullptr);
    reset_sec.store(static_cast<uint32_t>(now.tv_sec), std::memory_order_relaxed);
    reset_usec.store(static_cast<uint32_t>(now.tv_usec), std::memory_order_relaxed);
}

nx_stream::nx_stream(uint32_t frames) : max_frames(frames) {
    counters_.clear();
}

// The frames are freed outside the lock. `discarding_` is kept: after a reset
// in the middle of a damaged frame, payload is still skipped until a frame
// start.
void nx_stream::reset() {
    FrameList old_ready;
    {
        std::unique_lock lock(lock_);
        old_ready.swap(ready_);
        counters_.clear();
    }
    cur_.clear();
    cur_complete_ = 0;
    hdr_.fill(0);
    hdr_fill_ = 0;
    last_sidx_ = -1;
}

extern "C" {

nx_stream *nx_stream_create(const nx_stream_cfg *cfg) {
    if (cfg == nullptr) return nullptr;
    try {
        return std::make_unique<nx_stream>(cfg->max_frames).release();
    } catch (...) {
        return nullptr;
    }
}

void nx_stream_destroy(nx_stream *stream) {
    std::unique_ptr<nx_stream> owned(stream);
}

bool nx_stream_set_cfg(nx_stream *stream, const nx_stream_cfg *cfg) {
    if (stream == nullptr || cfg == nullptr) return false;
    stream->max_frames.store(cfg->max_frames, std::memory_order_relaxed);
    return true;
}

bool nx_stream_get_cfg(nx_stream *stream, nx_stream_cfg *cfg) {
    if (stream == nullptr || cfg == nullptr) return false;
    cfg->max_frames = stream->max_frames.load(std::memory_order_relaxed);
    return true;
}

void nx_stream_reset(nx_stream *stream) {
    if (stream == nullptr) return;
    try {
        stream->reset();
    } catch (...) {
        // Only logging can throw here (out of memory); the reset is done.
    }
}

bool nx_stream_feed_input(nx_stream *stream, const uint8_t *data, size_t len) {
    if (stream == nullptr) return false;
    try {
        return stream->feed(data, len);
    } catch (...) {
        return false;
    }
}

uint32_t nx_stream_fetch_frames(nx_stream *stream, uint8_t *dst, size_t dst_len, uint32_t count,
                                nx_stream_frame_info *info, bool peek) {
    if (stream == nullptr || count == 0) return 0;
    try {
        return stream->fetch(dst, dst_len, count, info, peek);
    } catch (...) {
        return 0;
    }
}

bool nx_stream_get_state(nx_stream *stream, nx_stream_state *state) {
    if (stream == nullptr || state == nullptr) return false;
    try {
        stream->copy_state(state);
        return true;
    } catch (...) {
        return false;
    }
}

bool nx_stream_get_health(nx_stream *stream, nx_stream_health *health) {
    if (stream == nullptr || health == nullptr) return false;
    stream->copy_health(health);
    return true;
}

}  // extern "C"
