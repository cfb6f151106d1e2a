// The parser behind the nx_stream handle.
//
// Parse state (the header being collected or in force, the chunk's progress,
// the frames being assembled in `cur_`) belongs to the producer alone. The
// ready list and the counters that move with it are shared with consumers
// under `lock_`. Every counter is atomic so that consumers may read the ones
// the producer updates without the lock.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>

#include "stream/frame_node.h"
#include "stream/nx_stream.h"
#include "stream/stream_header.h"

namespace nx::stream {

struct Counters {
    std::atomic<uint32_t> frames_assembled{0};
    std::atomic<uint32_t> frames_queued{0};
    std::atomic<uint32_t> frames_discarded{0};
    std::atomic<uint32_t> frames_overflowed{0};
    std::atomic<uint32_t> frames_ready{0};
    std::atomic<uint32_t> bytes_skipped{0};
    std::atomic<uint32_t> frames_bad_sum{0};     // of frames_discarded: checksum faults
    std::atomic<uint32_t> frames_ready_peak{0};  // most frames ready at once
    std::atomic<uint32_t> reset_sec{0};
    std::atomic<uint32_t> reset_usec{0};

    static void add(std::atomic<uint32_t> &counter, uint32_t n) {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    static uint32_t get(const std::atomic<uint32_t> &counter) {
        return counter.load(std::memory_order_relaxed);
    }
    // Zeroes every counter and stamps the reset time.
    void clear();
};

// The not yet parsed rest of the piece handed to feed.
struct Input {
    const uint8_t *p;
    size_t rem;
    void consume(size_t n) {
        p += n;
        rem -= n;
    }
};

// Whether feeding goes on with the piece's remaining bytes.
enum class Pass { kGoOn, kReturn };

}  // namespace nx::stream

struct nx_stream {
  public:
    explicit nx_stream(uint32_t max_frames);

    bool feed(const uint8_t *data, size_t len);
    uint32_t fetch(uint8_t *dst, size_t dst_len, uint32_t count, nx_stream_frame_info *info,
                   bool peek);
    void copy_state(nx_stream_state *out) const;
    void copy_health(nx_stream_health *out) const;
    void reset();

    std::atomic<uint32_t> max_frames;

  private:
    using FrameList = nx::stream::FrameList;
    using Input = nx::stream::Input;
    using Pass = nx::stream::Pass;
    using Counters = nx::stream::Counters;

    // Situations of one parse pass.
    void take_payload(Input &in);
    void finish_chunk();
    Pass search_header(Input &in);
    Pass complete_partial_header(Input &in);
    void forget_continuity();
    void start_chunk();
    void accept_header();
    bool accept_continuation();
    void accept_frame_start();
    void check_chunk_sequence();

    // Frame assembly and the ready list.
    bool add_data(const uint8_t *bytes, uint32_t n, uint32_t offset, bool summed);
    bool append_node();
    void frame_completed();
    void drop_tail_node();
    void discard_cur_frame();
    void discard_assembly();
    void abandon_chunk(uint32_t unstored);
    void refresh_lists();
    void drop_oldest_assembled();
    uint32_t take_ready(FrameList &taken, uint32_t count);

    // Producer state.
    std::array<uint8_t, nx::stream::kHeaderSize> hdr_{};
    nx::stream::ChunkHeader head_{};  // decoded hdr_ while a header is in force
    bool discarding_ = false;
    bool chunk_done_ = false;
    uint8_t hdr_fill_ = 0;
    uint32_t chunk_rcv_ = 0;
    uint32_t chunk_sum_ = 0;
    uint16_t chunk_frames_ = 0;
    int32_t last_sidx_ = -1;
    int32_t last_fridx_ = -1;
    uint16_t fridx_step_ = 1;
    // Frames being assembled: complete frames not yet released (held until
    // their chunk's checksum is verified) followed by at most one incomplete
    // frame at the tail.
    FrameList cur_;
    uint32_t cur_complete_ = 0;

    // Shared with consumers.
    mutable std::shared_mutex lock_;
    FrameList ready_;  // guarded by lock_
    Counters counters_;
};
