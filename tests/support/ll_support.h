// Helpers for tests that drive the USB transport against a camera model,
// whichever libusb it runs on: waiting for a condition, reading the library's
// log, and recording capture events.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ll/ll_ops.h"
#include "sim/camsim.h"

namespace nxtest {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` passed; returns its last value.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 10000ms);

// Lines of a library log at `level` ("TRC" .. "ERR") from function `fn`
// that contain `text`.
std::vector<std::string> log_lines_in(const std::string &log, std::string_view level,
                                      std::string_view fn, std::string_view text);
// Prints the end of a library log (all of it with NX_FULL_LOG=1) to stderr:
// it explains most failures.
void print_log_tail(const std::string &log);

// Milliseconds of the day in a log line's stamp "YYYY/MM/DD hh:mm:ss.mmm".
long stamp_ms(const std::string &line);

// A listed camera's entry: its place on the bus, not open, ready to open.
void expect_listed(const ll_device &entry, uint8_t bus, uint8_t port, uint8_t address,
                   uint8_t speed);

// A camera configuration at a given place on the bus.
nxsim::CameraConfig camera_at(uint8_t bus, uint8_t port, uint8_t speed = 3);

// Thread ids of this process whose name is `name`.
std::vector<std::string> threads_named(const std::string &name);

// Records the capture events the transport delivers, on the event thread.
class CaptureRecorder {
  public:
    struct Event {
        int event;
        int len;
        const uint8_t *buffer;
    };

    static int callback(ll_device *ll, int event, uint8_t *data, int len, void *arg);

    // Runs inside the callback, on the event thread, before the event is stored.
    std::function<void(ll_device *, const Event &)> hook;

    std::vector<Event> events() const;
    int count(int event) const;
    int total() const { return total_.load(); }

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::atomic<int> total_{0};
};

}  // namespace nxtest
