// The stream health counters of one session that the capture engine keeps
// itself (the parser keeps the frame counters): what the transfers brought
// and how they failed, the link's throughput, the frames handed out, and the
// last stream fault with its time.
//
// Threads: the event thread reports transfers and faults; the fetching
// thread (one at a time) counts delivered frames; a capture start (command
// lock held, no transfer outstanding) clears the capture counters; any
// thread reads. Every counter is a relaxed atomic with a single writer, so
// a transfer costs a few relaxed atomic operations and a clock read. The last
// fault and its time change together under a small lock, taken only when a
// fault strikes and when a reader asks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "nivex.h"

namespace nx {

class CaptureHealth {
  public:
    using Clock = std::chrono::steady_clock;

    // --- Application threads ---

    // A capture is about to start: the capture counters begin at 0.
    void begin_capture();
    // The capture started: counted per open.
    void count_capture() { captures_.fetch_add(1, std::memory_order_relaxed); }
    void set_usb_speed(uint8_t speed) { usb_speed_.store(speed, std::memory_order_relaxed); }
    // The fetching thread handed a frame to a buffer or a callback.
    void count_delivered() { delivered_.fetch_add(1, std::memory_order_relaxed); }

    // --- Event thread ---

    // A transfer completed with the capture event `event` and `len` bytes.
    void note_transfer(int event, int len);
    // A stream fault that is not a transfer's (frames discarded).
    void note_fault(int32_t code);

    // --- Any thread ---

    // Fills what this record knows into `out`; the parser's counters are
    // the caller's business.
    void fill(nivex_cap_health &out) const;

  private:
    void count_bytes(int len, Clock::time_point now);
    uint32_t link_rate(Clock::time_point now) const;
    static int64_t ticks(Clock::time_point t) { return t.time_since_epoch().count(); }

    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> bytes_{0};
    std::atomic<uint32_t> timeouts_{0};
    std::atomic<uint32_t> stalls_{0};
    std::atomic<uint32_t> errors_{0};
    std::atomic<uint32_t> usb_speed_{0};
    std::atomic<uint32_t> captures_{0};
    std::atomic<int64_t> capture_start_{0};  // Clock ticks; 0: no capture yet

    // Throughput: bytes of the running window, its start, and the rate of
    // the last finished window.
    std::atomic<int64_t> window_start_{0};
    std::atomic<uint64_t> window_bytes_{0};
    std::atomic<uint32_t> window_rate_{0};

    mutable std::mutex fault_mu_;  // guards the pair below
    int32_t last_error_ = 0;
    uint64_t last_error_usec_ = 0;
};

}  // namespace nx
