// The capture state of one session: what the transfers reported, whether the
// capture is stopping, the pending error, the wake-ups of the threads that
// wait for frames, and whose turn it is to fetch.
//
// Two kinds of thread use it. The transport's event thread reports what each
// transfer did (the "event thread" methods); application threads start and
// stop captures and take frames out (the rest). The rules live here:
//   - the first fatal error of a capture wins; a discard report never
//     replaces a pending fatal error;
//   - a fetch clears only the error it showed, so one that arrived while the
//     error callback ran stays pending;
//   - reset_for_start runs only while no transfer of the session is
//     outstanding (the transport reports none), so no event races it;
//   - every change a waiter may be waiting for wakes all waiters;
//   - fetches are served one at a time, in turn.
// The pending error (code and argument) is one atomic word, so a reader never
// sees the code of one error with the argument of another.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace nx {

using Clock = std::chrono::steady_clock;

// A pending capture error: 0 none, 3 frames discarded (arg: total discarded),
// negative: the capture ended (time-out, stall, other transfer error).
struct CapError {
    int32_t code = 0;
    uint32_t arg = 0;
};

class CaptureState {
  public:
    // --- Application threads ---

    // Clears counters, errors and flags for a new capture; the transport
    // must have no transfer outstanding.
    void reset_for_start();
    // Marks the capture as stopping (a stop or a close asked for it).
    void request_stop() { stop_flag_.store(1); }
    bool stopping() const { return stop_flag_.load() != 0; }
    // The error callback asked to stop: no more frames are handed out.
    void force_stop();
    bool forced_stop() const { return force_stop_.load(); }
    CapError pending() const { return unpack(pending_.load()); }
    // Transfer time-outs and stalls since the last data chunk.
    int32_t timeouts() const { return timeouts_.load(); }
    int32_t stalls() const { return stalls_.load(); }
    // Clears the pending error if it is still the one shown.
    void clear_shown(CapError shown);
    // What a fetch returns once the capture has ended and nothing is left
    // to hand out: the capture's first fatal error, else "not capturing".
    int32_t ended_result() const;

    // --- Event thread ---

    // A data chunk arrived: the time-out and stall counts start again.
    void note_data() {
        timeouts_.store(0);
        stalls_.store(0);
    }
    // Counts one transfer time-out / stall of a running capture; true when
    // it was one too many and the capture is to end with that error.
    bool count_timeout();
    bool count_stall();
    // Ends the capture with a fatal error (first one wins). True when this
    // call ended a running capture: the caller stops the transfers.
    bool end_with(int32_t code);
    // A transfer was cancelled: the capture is stopping. True when it was running.
    bool end_by_cancel() { return stop_flag_.exchange(1) == 0; }
    // The parser's discard total; a growth becomes a pending discard report
    // (unless a fatal error is pending). Returns how many are new.
    uint32_t report_discards(uint32_t total);

    // --- Waking and waiting (any thread) ---

    void wake_all();
    // A count of wake-ups, so a waiter can tell whether it missed one.
    uint64_t wakeups() const;
    // Blocks until a wake-up after `seen`, the capture stops, quit() holds or
    // the deadline (NULL: none) passes; false on the deadline. A passed
    // deadline ends the wait even while wake-ups keep coming.
    template <typename Quit>
    bool wait(uint64_t seen, const Clock::time_point *deadline, Quit quit);

    // --- Turns of the fetching threads ---

    enum class Turn { kTaken, kNested, kNotTaken };
    // Waits for this thread's turn to fetch, until quit() holds or the
    // deadline passes (NULL: without limit; `wait` false: not at all).
    // `nested` when the thread is fetching already (from a callback).
    template <typename Quit>
    Turn take_turn(const Clock::time_point *deadline, bool wait, Quit quit);
    void give_turn();

  private:
    static uint64_t pack(CapError e) {
        return static_cast<uint64_t>(static_cast<uint32_t>(e.code)) << 32 | e.arg;
    }
    static CapError unpack(uint64_t word) {
        return {static_cast<int32_t>(static_cast<uint32_t>(word >> 32)),
                static_cast<uint32_t>(word)};
    }
    template <typename Pred>
    bool wait_until(std::unique_lock<std::mutex> &lock, const Clock::time_point *deadline,
                    Pred pred);

    std::atomic<int32_t> stop_flag_{1};  // 1: no capture running, or it is stopping
    std::atomic<int32_t> timeouts_{0};   // transfer time-outs since the last data chunk
    std::atomic<int32_t> stalls_{0};     // stalls since the last data chunk
    std::atomic<uint64_t> pending_{0};   // packed CapError
    std::atomic<int32_t> fatal_{0};      // the capture's first fatal error
    std::atomic<bool> force_stop_{false};
    std::atomic<uint32_t> discards_reported_{0};

    mutable std::mutex mu_;  // guards what follows; pairs with cv_
    std::condition_variable cv_;
    uint64_t wakeups_ = 0;
    bool fetching_ = false;
    std::thread::id fetcher_;
};

template <typename Pred>
bool CaptureState::wait_until(std::unique_lock<std::mutex> &lock, const Clock::time_point *deadline,
                              Pred pred) {
    if (deadline == nullptr) {
        cv_.wait(lock, pred);
        return true;
    }
    return cv_.wait_until(lock, *deadline, pred);
}

template <typename Quit>
bool CaptureState::wait(uint64_t seen, const Clock::time_point *deadline, Quit quit) {
    if (deadline != nullptr && Clock::now() >= *deadline) return false;
    std::unique_lock lock(mu_);
    return wait_until(lock, deadline, [&] { return wakeups_ != seen || stopping() || quit(); });
}

template <typename Quit>
CaptureState::Turn CaptureState::take_turn(const Clock::time_point *deadline, bool wait,
                                           Quit quit) {
    std::unique_lock lock(mu_);
    if (fetching_ && fetcher_ == std::this_thread::get_id()) return Turn::kNested;
    auto free = [&] { return !fetching_ || quit(); };
    if (wait) wait_until(lock, deadline, free);
    if (fetching_ || quit()) return Turn::kNotTaken;
    fetching_ = true;
    fetcher_ = std::this_thread::get_id();
    return Turn::kTaken;
}

}  // namespace nx
