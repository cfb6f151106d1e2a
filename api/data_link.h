// What a data transfer needs besides the transport: the device's command
// lock, a way to tell that the device is going away, the caller's progress
// callback, and the timing of the waits. The public calls fill it from their
// session; the exported ll-level procedures run with an empty one.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "ll/ll_device.h"

namespace nx::data {

using std::chrono::milliseconds;

// Passes a wait of `duration`, returning early once `stop` holds.
using WaitFn = void (*)(milliseconds duration, const std::function<bool()> &stop);

struct Timing {
    // After an image of type 0 or 1 the board restarts; after 2 or 3 the
    // camera settles. The caller must not touch the camera meanwhile.
    milliseconds restart_wait{20000};
    milliseconds settle_wait{7000};
    // A camera that keeps answering "erase in progress" for longer than this
    // is taken as broken: the download fails.
    milliseconds erase_limit{120000};
    // Pause between two erase polls, so a long erase does not flood the bus.
    milliseconds erase_poll_pause{10};
    WaitFn wait = nullptr;  // nullptr: sleep (in short steps)
};

// The timing in force.
Timing timing();
// Replaces it (tests use this so they never sleep the closing waits); returns
// the previous one.
Timing set_timing(const Timing &timing);

class DataLink {
  public:
    explicit DataLink(ll_device *ll) : ll_(ll) {}

    ll_device *ll() const { return ll_; }

    // Held around each group of exchanges that belong together.
    std::unique_lock<std::mutex> exchange() const {
        return cmd_mutex_ != nullptr ? std::unique_lock(*cmd_mutex_)
                                     : std::unique_lock<std::mutex>();
    }
    // The device is being closed: stop at the next step.
    bool cancelled() const { return cancelled_ && cancelled_(); }
    void progress(uint32_t done, uint32_t total) const {
        if (progress_) progress_(done, total);
    }
    // One of the closing waits, with the device left free meanwhile.
    void closing_wait(milliseconds duration) const;

    void set_command_lock(std::mutex *cmd_mutex) { cmd_mutex_ = cmd_mutex; }
    void set_cancelled(std::function<bool()> cancelled) { cancelled_ = std::move(cancelled); }
    void set_progress(std::function<void(uint32_t, uint32_t)> progress) {
        progress_ = std::move(progress);
    }
    // Called before and after a closing wait.
    void set_wait_guards(std::function<void()> before, std::function<void()> after) {
        before_wait_ = std::move(before);
        after_wait_ = std::move(after);
    }

  private:
    ll_device *ll_;
    std::mutex *cmd_mutex_ = nullptr;
    std::function<bool()> cancelled_;
    std::function<void(uint32_t, uint32_t)> progress_;
    std::function<void()> before_wait_;
    std::function<void()> after_wait_;
};

// The procedures behind nivex_bin_data_write and nivex_bin_data_read.
int download(const DataLink &link, uint8_t type, uint16_t version, const char *file_name);
int upload(const DataLink &link, uint32_t type, const char *file_name);

}  // namespace nx::data
