// The session record behind an open nivex_device, and the guard every public
// call on a device goes through.
//
// Sessions are shared-owned: a public call holds a reference for its whole
// duration, so a concurrent nivex_dev_close can never free the record under
// it. Close removes the session from the registry, waits (bounded) for the
// calls in progress to leave, and the last reference frees it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "drivers/chip_driver.h"
#include "ll/ll_device.h"
#include "nivex.h"
#include "stream/nx_stream.h"

namespace nx {

// A fetch in progress: where the next frames go.
struct cap_fetch_req {
    uint32_t total = 0;      // frames asked for
    uint32_t remaining = 0;  // frames still to deliver
    uint8_t *buf = nullptr;  // where the next frame goes
    uint32_t buf_size = 0;   // bytes left in buf
    nivex_frame_meta *first_meta = nullptr;
};

struct StreamDeleter {
    void operator()(nx_stream *stream) const { nx_stream_destroy(stream); }
};

struct nx_session : ll_device {
    chip_driver *drv = nullptr;
    std::atomic<uint8_t> opened{0};
    std::atomic<uint8_t> capturing{0};
    // Set first thing by close; calls that wake up afterwards leave at once.
    std::atomic<bool> closing{false};
    // Public calls working on the session right now (api_busy mirrors > 0).
    std::atomic<int> busy_calls{0};
    std::unique_ptr<nx_stream, StreamDeleter> stream;
    std::mutex cmd_mutex;  // one command exchange at a time per device

    // Capture state. The event thread writes the counters and flags, the
    // application thread reads them; every one is atomic.
    nx_stream_state stream_state{};  // event thread only
    nivex_frame_meta last_meta{};    // application thread only
    uint32_t cap_start_arg = 0;
    std::atomic<int32_t> cap_stop_flag{1};
    std::atomic<int32_t> trans_timeout_cnt{0};
    std::atomic<int32_t> trans_stall_cnt{0};
    std::atomic<uint32_t> discard_cnt{0};
    std::atomic<int32_t> cap_err{0};
    std::atomic<uint8_t> cap_force_stop{0};
    std::atomic<uint32_t> cap_err_arg{0};
    std::atomic<nivex_cb_frame_ready> on_frame_ready{nullptr};
    std::atomic<nivex_cb_error> on_error{nullptr};
    std::condition_variable cap_cond;
    std::mutex cap_mutex;
    // Bumped under cap_mutex at every wake-up, so a waiter that was busy
    // handling frames when the signal came does not sleep past it.
    uint64_t cap_events = 0;
    std::atomic<cap_fetch_req *> fetch_req{nullptr};
};

using SessionRef = std::shared_ptr<nx_session>;

// Registry of live sessions, keyed by the handle stored in nivex_device.
void session_register(const SessionRef &session);
void session_unregister(const nx_session *session);
// The live session behind dev->handle, or NULL (no lookup of a stale handle
// ever dereferences it).
SessionRef session_of(const nivex_device *dev);

// Marks a public call in progress on the device for the guard's lifetime:
// holds a session reference and keeps dev->api_busy set.
class ApiCall {
  public:
    explicit ApiCall(nivex_device *dev);
    ~ApiCall();
    ApiCall(const ApiCall &) = delete;
    ApiCall &operator=(const ApiCall &) = delete;

    // The session; NULL when the device has none. Check open() as well.
    nx_session *session() const { return session_.get(); }
    // The device has a session that is open and not being closed.
    bool open() const;
    // Leave / re-enter busy while blocking, so close need not wait for us.
    void suspend();
    void resume();

  private:
    nivex_device *dev_;
    SessionRef session_;
    bool busy_ = false;
};

// dev->api_busy accessed atomically (the caller's record is shared by threads).
void set_api_busy(nivex_device *dev, bool busy);
bool api_busy(const nivex_device *dev);

// Logs the ERR line every device call uses when the device is not usable.
void log_no_handle(const char *fn);

}  // namespace nx
