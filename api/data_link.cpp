// Timing of the data transfers and the closing wait.
#include "api/data_link.h"

#include <algorithm>
#include <thread>

namespace nx::data {

namespace {

// A closing wait checks this often whether it may end early.
constexpr milliseconds kWaitStep{50};

std::mutex g_timing_mutex;
Timing g_timing;  // guarded by g_timing_mutex

void sleep_unless(milliseconds duration, const std::function<bool()> &stop) {
    const auto end = std::chrono::steady_clock::now() + duration;
    for (;;) {
        if (stop && stop()) return;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(end - now, kWaitStep));
    }
}

}  // namespace

Timing timing() {
    std::lock_guard lock(g_timing_mutex);
    return g_timing;
}

Timing set_timing(const Timing &timing) {
    std::lock_guard lock(g_timing_mutex);
    Timing previous = g_timing;
    g_timing = timing;
    return previous;
}

void DataLink::closing_wait(milliseconds duration) const {
    const Timing now = timing();
    WaitFn wait = now.wait != nullptr ? now.wait : sleep_unless;
    if (before_wait_) before_wait_();
    wait(duration, [this] { return cancelled(); });
    if (after_wait_) after_wait_();
}

}  // namespace nx::data
