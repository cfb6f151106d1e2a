// Frame assembly on the producer side: storing payload bytes into frames,
// discarding damaged frames, and handing complete frames to the ready list.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

namespace {
// Every dropped frame is logged as the discarding step.
constexpr const char *kDiscardFn = "_discard_cur_frame";
}  // namespace

#include "common/nx_log.h"
#include "stream/payload_sum.h"
#include "stream/stream_parser.h"

using nx::stream::Counters;
using nx::stream::FrameNode;

namespace {

constexpr const char *kAddFn = "_fr_node_add_data";
constexpr const char *kRefreshFn = "_fr_list_refresh";

void log_node_alloc_failure(size_t size) {
    NX_ERR(kAddFn, "[%s] malloc failed: %d bytes\n", static_cast<int>(size));
}

}  // namespace

// Stores n payload bytes (payload offset `offset`) into the tail frame and
// as many new frames as they reach into. False when memory ran out; the
// chunk has then been abandoned.
bool nx_stream::add_data(const uint8_t *bytes, uint32_t n, uint32_t offset, bool summed) {
    while (n > 0) {
        if ((cur_.empty() || cur_.back().full()) && !append_node()) {
            abandon_chunk(n);
            return false;
        }
        FrameNode &node = cur_.back();
        const uint32_t k = std::min(n, node.room());
        size_t failed_size = 0;
        if (!node.reserve(k, &failed_size)) {
            log_node_alloc_failure(failed_size);
            abandon_chunk(n);
            return false;
        }
        if (summed) {
            chunk_sum_ += nx::stream::copy_and_sum(node.write_pos(), bytes, k, offset);
        } else {
            std::memcpy(node.write_pos(), bytes, k);
        }
        node.commit(k);
        bytes += k;
        offset += k;
        n -= k;
        if (node.full()) frame_completed();
    }
    return true;
}

// A new frame described by the chunk's header, numbered after the frames
// already completed in this chunk.
bool nx_stream::append_node() {
    try {
        cur_.emplace_back(nx::stream::frame_info_of(hdr_.data(), chunk_frames_));
        return true;
    } catch (const std::bad_alloc &) {
        log_node_alloc_failure(sizeof(FrameNode));
        return false;
    }
}

void nx_stream::frame_completed() {
    ++chunk_frames_;
    ++cur_complete_;
    // Frames beyond the ready list's size would be dropped as overflow the
    // moment they are released; dropping them now bounds the memory held by
    // a chunk of many small frames.
    if (cur_complete_ > max_frames.load(std::memory_order_relaxed)) drop_oldest_assembled();
}

// Counts, logs and frees the newest frame of the assembly.
void nx_stream::drop_tail_node() {
    const FrameNode &node = cur_.back();
    if (node.full()) --cur_complete_;
    Counters::add(counters_.bytes_skipped, node.filled());
    Counters::add(counters_.frames_discarded, 1);
    NX_DBG(kDiscardFn, "[%s] discard frame: idx = %d\n", static_cast<int>(node.info().fridx));
    cur_.pop_back();
}

// Throws away the incomplete frame at the tail of the assembly, if any.
void nx_stream::discard_cur_frame() {
    if (!cur_.empty() && !cur_.back().full()) drop_tail_node();
}

// Throws away every frame of the assembly, also complete ones held back
// until their chunk's checksum is verified.
void nx_stream::discard_assembly() {
    while (!cur_.empty())
        drop_tail_node();
}

// Memory for a frame could not be had: the chunk's unstored bytes and its
// frames are lost, and its remaining payload is skipped until a frame start.
void nx_stream::abandon_chunk(uint32_t unstored) {
    const bool frame_lost = cur_.empty() || cur_.back().full();
    discard_assembly();
    if (frame_lost) Counters::add(counters_.frames_discarded, 1);
    Counters::add(counters_.bytes_skipped, unstored);
    discarding_ = true;
    chunk_rcv_ = 0;
    chunk_sum_ = 0;
}

// Moves complete frames to the ready list and drops the oldest ready frames
// beyond max_frames. Logging and freeing happen outside the lock.
void nx_stream::refresh_lists() {
    // Only this thread adds ready frames, so this check needs no lock.
    if (cur_complete_ == 0 &&
        Counters::get(counters_.frames_ready) <= max_frames.load(std::memory_order_relaxed)) {
        return;
    }
    FrameList dropped;
    uint32_t overflowed_total = 0;
    {
        std::unique_lock lock(lock_);
        if (cur_complete_ > 0) {
            const uint32_t moved = cur_complete_;
            if (cur_.back().full()) {
                ready_.splice(ready_.end(), cur_);
            } else {
                ready_.splice(ready_.end(), cur_, cur_.begin(), std::prev(cur_.end()));
            }
            cur_complete_ = 0;
            Counters::add(counters_.frames_assembled, moved);
            Counters::add(counters_.frames_queued, moved);
            Counters::add(counters_.frames_ready, moved);
        }
        const uint32_t ready = Counters::get(counters_.frames_ready);
        const uint32_t limit = max_frames.load(std::memory_order_relaxed);
        if (ready > limit) {
            const uint32_t excess = ready - limit;
            dropped.splice(dropped.end(), ready_, ready_.begin(),
                           std::next(ready_.begin(), excess));
            uint32_t bytes = 0;
            for (const FrameNode &node : dropped)
                bytes += node.capacity();
            Counters::add(counters_.bytes_skipped, bytes);
            Counters::add(counters_.frames_overflowed, excess);
            counters_.frames_ready.store(limit, std::memory_order_relaxed);
            overflowed_total = Counters::get(counters_.frames_overflowed);
        }
        // Only this thread adds ready frames, under the lock: the peak needs no exchange.
        const uint32_t held = Counters::get(counters_.frames_ready);
        if (held > Counters::get(counters_.frames_ready_peak)) {
            counters_.frames_ready_peak.store(held, std::memory_order_relaxed);
        }
    }
    if (dropped.empty()) return;
    NX_DBG(kRefreshFn, "[%s] discard frames: frame buffer is full (%d/%d)\n",
           static_cast<int>(dropped.size()), static_cast<int>(overflowed_total));
    for (const FrameNode &node : dropped) {
        NX_DBG(kRefreshFn, "[%s] discard frame: idx = %d\n", static_cast<int>(node.info().fridx));
    }
}

// The oldest complete frame of the assembly goes the way of a ready frame
// that overflowed: counted as assembled, queued and overflowed.
void nx_stream::drop_oldest_assembled() {
    FrameList dropped;
    uint32_t overflowed_total = 0;
    {
        std::unique_lock lock(lock_);
        dropped.splice(dropped.end(), cur_, cur_.begin());
        --cur_complete_;
        Counters::add(counters_.frames_assembled, 1);
        Counters::add(counters_.frames_queued, 1);
        Counters::add(counters_.frames_overflowed, 1);
        Counters::add(counters_.bytes_skipped, dropped.front().capacity());
        overflowed_total = Counters::get(counters_.frames_overflowed);
    }
    NX_DBG(kRefreshFn, "[%s] discard frames: frame buffer is full (%d/%d)\n", 1,
           static_cast<int>(overflowed_total));
    NX_DBG(kRefreshFn, "[%s] discard frame: idx = %d\n",
           static_cast<int>(dropped.front().info().fridx));
}
