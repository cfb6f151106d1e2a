// Keeping and reading a session's stream health counters (see
// capture_health.h).
#include "api/capture_health.h"

#include <sys/time.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "api/session.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx {

namespace {

// The link's rate is measured over windows of about this length.
constexpr std::chrono::nanoseconds kWindow = std::chrono::seconds(1);

uint64_t wall_clock_usec() {
    timeval now{};
    nx_gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

uint32_t per_second(uint64_t bytes, std::chrono::nanoseconds span) {
    if (span.count() <= 0) return 0;
    const double rate = static_cast<double>(bytes) * 1e9 / static_cast<double>(span.count());
    return rate >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(rate);
}

}  // namespace

void CaptureHealth::begin_capture() {
    constexpr auto relaxed = std::memory_order_relaxed;
    for (std::atomic<uint32_t> *c : {&timeouts_, &stalls_, &errors_, &window_rate_}) {
        c->store(0, relaxed);
    }
    delivered_.store(0, relaxed);
    bytes_.store(0, relaxed);
    window_bytes_.store(0, relaxed);
    const int64_t now = ticks(Clock::now());
    window_start_.store(now, relaxed);
    capture_start_.store(now, relaxed);
}

void CaptureHealth::note_transfer(int event, int len) {
    const Clock::time_point now = Clock::now();
    if (len > 0) count_bytes(len, now);
    switch (event) {
        case LL_CAP_EVT_DATA:
        case LL_CAP_EVT_CANCELLED:
            return;
        case LL_CAP_EVT_TIMEOUT:
            timeouts_.fetch_add(1, std::memory_order_relaxed);
            break;
        case LL_CAP_EVT_STALL:
            stalls_.fetch_add(1, std::memory_order_relaxed);
            break;
        default:
            errors_.fetch_add(1, std::memory_order_relaxed);
            break;
    }
    note_fault(event);
}

// Only the event thread writes the window, so its steps need no lock.
void CaptureHealth::count_bytes(int len, Clock::time_point now) {
    constexpr auto relaxed = std::memory_order_relaxed;
    bytes_.fetch_add(static_cast<uint64_t>(len), relaxed);
    const uint64_t in_window = window_bytes_.load(relaxed) + static_cast<uint64_t>(len);
    const Clock::duration span{window_start_.load(relaxed)};
    const auto elapsed = now - Clock::time_point(span);
    if (elapsed < kWindow) {
        window_bytes_.store(in_window, relaxed);
        return;
    }
    window_rate_.store(per_second(in_window, elapsed), relaxed);
    window_bytes_.store(0, relaxed);
    window_start_.store(ticks(now), relaxed);
}

void CaptureHealth::note_fault(int32_t code) {
    const uint64_t when = wall_clock_usec();
    std::lock_guard lock(fault_mu_);
    last_error_ = code;
    last_error_usec_ = when;
}

// The last finished window's rate while it is fresh. When no window has
// finished yet, or none for two windows (the stream dried up), the running
// window's own rate, which falls towards 0 while nothing arrives.
uint32_t CaptureHealth::link_rate(Clock::time_point now) const {
    constexpr auto relaxed = std::memory_order_relaxed;
    const int64_t start = window_start_.load(relaxed);
    if (start == 0) return 0;
    const auto elapsed = now - Clock::time_point(Clock::duration{start});
    const uint32_t finished = window_rate_.load(relaxed);
    if (finished != 0 && elapsed < 2 * kWindow) return finished;
    return per_second(window_bytes_.load(relaxed), elapsed);
}

void CaptureHealth::fill(nivex_cap_health &out) const {
    constexpr auto relaxed = std::memory_order_relaxed;
    const Clock::time_point now = Clock::now();
    out.frames_delivered = delivered_.load(relaxed);
    out.bytes_received = bytes_.load(relaxed);
    out.transfer_timeouts = timeouts_.load(relaxed);
    out.transfer_stalls = stalls_.load(relaxed);
    out.transfer_errors = errors_.load(relaxed);
    out.usb_speed = usb_speed_.load(relaxed);
    out.link_bytes_per_sec = link_rate(now);
    out.captures = captures_.load(relaxed);
    const int64_t start = capture_start_.load(relaxed);
    out.capture_usec =
        start == 0 ? 0
                   : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               now - Clock::time_point(Clock::duration{start}))
                                               .count());
    std::lock_guard lock(fault_mu_);
    out.last_error = last_error_;
    out.last_error_usec = last_error_usec_;
}

}  // namespace nx

namespace {

// The session's and the parser's counters, in a record of our own size.
nivex_cap_health read_health(nx::Session &session) {
    nivex_cap_health full{};
    session.health.fill(full);
    nx_stream_state state{};
    nx_stream_get_state(session.stream.get(), &state);
    nx_stream_health parser{};
    nx_stream_get_health(session.stream.get(), &parser);
    nx_stream_cfg cfg{};
    nx_stream_get_cfg(session.stream.get(), &cfg);
    full.capturing = session.capturing.load() != 0 && !session.cap.stopping() ? 1 : 0;
    full.frames_overflowed = state.frames_overflowed;
    // A checksum discard is one of the parser's discards; read the finer
    // count after the total so the difference never goes below 0.
    full.frames_bad_checksum = std::min(parser.frames_bad_sum, state.frames_discarded);
    full.frames_broken = state.frames_discarded - full.frames_bad_checksum;
    full.bytes_skipped = state.bytes_skipped;
    full.buffer_frames = cfg.max_frames;
    full.buffer_fill = state.frames_ready;
    full.buffer_peak = std::max(parser.frames_ready_peak, state.frames_ready);
    return full;
}

}  // namespace

extern "C" {

bool nivex_cap_get_health(nivex_device *dev, nivex_cap_health *health) {
    constexpr const char *kFn = "nivex_cap_get_health";
    constexpr uint32_t kMinSize = offsetof(nivex_cap_health, frames_delivered);
    if (health == nullptr || health->struct_size < kMinSize) {
        NX_DBG(kFn, "[%s] Wrong params\n");
        return false;
    }
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kFn);
        return false;
    }
    nivex_cap_health full = read_health(*call.session());
    const uint32_t size = std::min<uint32_t>(health->struct_size, sizeof full);
    full.struct_size = size;
    std::memcpy(health, &full, size);
    return true;
}

}  // extern "C"
