// The rules of a session's capture state (see capture_state.h).
#include "api/capture_state.h"

#include "nivex.h"

namespace nx {

namespace {

// More transfer time-outs than this without a data chunk in between end the
// capture. Counting them since the start instead would end a long capture
// that met a time-out now and then (a cable hiccup, a busy hub) after its
// 33rd, however healthy the stream was in between; a camera that stopped
// sending still ends it, 33 time-outs in a row.
constexpr int32_t kMaxTimeouts = 32;
// More stalls than this without a data chunk in between end the capture.
constexpr int32_t kMaxStalls = 16;

}  // namespace

void CaptureState::reset_for_start() {
    timeouts_.store(0);
    stalls_.store(0);
    discards_reported_.store(0);
    force_stop_.store(false);
    pending_.store(0);
    fatal_.store(0);
    stop_flag_.store(0);
}

void CaptureState::force_stop() {
    stop_flag_.store(1);
    force_stop_.store(true);
    wake_all();
}

void CaptureState::clear_shown(CapError shown) {
    uint64_t expected = pack(shown);
    pending_.compare_exchange_strong(expected, 0);
}

int32_t CaptureState::ended_result() const {
    const int32_t fatal = fatal_.load();
    return fatal != 0 ? fatal : NIVEX_ERR_NOT_CAPTURING;
}

bool CaptureState::count_timeout() {
    return timeouts_.fetch_add(1) + 1 > kMaxTimeouts && !stopping();
}

bool CaptureState::count_stall() {
    return stalls_.fetch_add(1) + 1 > kMaxStalls && !stopping();
}

bool CaptureState::end_with(int32_t code) {
    int32_t none = 0;
    // Later failures of a capture that has ended are echoes of the first one
    // (every outstanding transfer of an unplugged camera fails): reported once.
    if (!fatal_.compare_exchange_strong(none, code)) return stop_flag_.exchange(1) == 0;
    uint64_t current = pending_.load();
    // A pending fatal error stays; a discard report (or nothing) gives way.
    while (unpack(current).code >= 0 && !pending_.compare_exchange_weak(current, pack({code, 0}))) {
    }
    return stop_flag_.exchange(1) == 0;
}

uint32_t CaptureState::report_discards(uint32_t total) {
    // Only the event thread writes the count while a capture runs.
    const uint32_t before = discards_reported_.load();
    if (total <= before) return 0;
    discards_reported_.store(total);
    uint64_t current = pending_.load();
    while (unpack(current).code >= 0 &&
           !pending_.compare_exchange_weak(current, pack({NIVEX_ERR_CAP_FRAME_DISCARD, total}))) {
    }
    return total - before;
}

void CaptureState::wake_all() {
    std::lock_guard lock(mu_);
    ++wakeups_;
    cv_.notify_all();
}

uint64_t CaptureState::wakeups() const {
    std::lock_guard lock(mu_);
    return wakeups_;
}

void CaptureState::give_turn() {
    std::lock_guard lock(mu_);
    fetching_ = false;
    fetcher_ = std::thread::id();
    cv_.notify_all();
}

}  // namespace nx
