// Consumer side: taking frames out of the ready list and reading counters.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "stream/stream_parser.h"

using nx::stream::Counters;
using nx::stream::FrameNode;

namespace {

// Copies frames back to back, each truncated to the room left in dst.
template <typename Iter>
void copy_frames(Iter first, uint32_t n, uint8_t *dst, size_t dst_len, nx_stream_frame_info *info) {
    if (info != nullptr) *info = first->info();
    if (dst == nullptr) return;
    size_t used = 0;
    for (uint32_t i = 0; i < n && used < dst_len; ++i, ++first) {
        const size_t k = std::min<size_t>(first->filled(), dst_len - used);
        std::memcpy(dst + used, first->data(), k);
        used += k;
    }
}

}  // namespace

uint32_t nx_stream::fetch(uint8_t *dst, size_t dst_len, uint32_t count, nx_stream_frame_info *info,
                          bool peek) {
    if (peek) {
        std::shared_lock lock(lock_);
        const uint32_t n = std::min(count, Counters::get(counters_.frames_ready));
        if (n > 0 && dst != nullptr) copy_frames(ready_.cbegin(), n, dst, dst_len, info);
        return n;
    }
    // Unlinked under the lock, copied and freed outside it, so the producer
    // never waits for a large copy.
    FrameList taken;
    const uint32_t n = take_ready(taken, count);
    if (n > 0) copy_frames(taken.cbegin(), n, dst, dst_len, info);
    return n;
}

uint32_t nx_stream::take_ready(FrameList &taken, uint32_t count) {
    std::unique_lock lock(lock_);
    const uint32_t n = std::min(count, Counters::get(counters_.frames_ready));
    if (n == 0) return 0;
    taken.splice(taken.end(), ready_, ready_.begin(), std::next(ready_.begin(), n));
    counters_.frames_ready.fetch_sub(n, std::memory_order_relaxed);
    return n;
}

void nx_stream::copy_state(nx_stream_state *out) const {
    std::shared_lock lock(lock_);
    *out = nx_stream_state{};
    out->frames_assembled = Counters::get(counters_.frames_assembled);
    out->frames_queued = Counters::get(counters_.frames_queued);
    out->frames_discarded = Counters::get(counters_.frames_discarded);
    out->frames_overflowed = Counters::get(counters_.frames_overflowed);
    out->frames_ready = Counters::get(counters_.frames_ready);
    out->bytes_skipped = Counters::get(counters_.bytes_skipped);
    out->reset_sec = Counters::get(counters_.reset_sec);
    out->reset_usec = Counters::get(counters_.reset_usec);
}

void nx_stream::copy_health(nx_stream_health *out) const {
    out->frames_bad_sum = Counters::get(counters_.frames_bad_sum);
    out->frames_ready_peak = Counters::get(counters_.frames_ready_peak);
}
