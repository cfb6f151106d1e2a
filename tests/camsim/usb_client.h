// A minimal libusb client for the simulator's own tests: the calls a USB
// transport makes, without the library's transport.
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "sim/camsim.h"

namespace simtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// One context with one open handle on a camera, found by bus and port.
class Session {
  public:
    explicit Session(const nxsim::Camera &cam);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    bool ok() const { return handle_ != nullptr; }
    libusb_context *ctx() const { return ctx_; }
    libusb_device_handle *handle() const { return handle_; }
    // Closes the handle now (the destructor then only exits the context).
    void close();

  private:
    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
};

// An asynchronous transfer owned by a test; its callback raises `done`.
class Transfer {
  public:
    Transfer();
    ~Transfer();
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    libusb_transfer *get() const { return transfer_; }
    void fill_control(libusb_device_handle *handle, uint8_t request_type, uint8_t request,
                      uint16_t value, const Bytes &data_or_room, unsigned timeout_ms = 1000);
    void fill_bulk(libusb_device_handle *handle, size_t length, unsigned timeout_ms = 1000);
    int submit();
    bool done() const { return done_.load() != 0; }
    int *done_flag() { return &done_raw_; }
    int status() const { return transfer_->status; }
    int actual() const { return transfer_->actual_length; }
    // Control: the data stage; bulk: the bytes received.
    Bytes data() const;
    // Thread that ran the callback.
    std::thread::id callback_thread() const { return callback_thread_; }

  private:
    static void LIBUSB_CALL on_done(libusb_transfer *transfer);

    libusb_transfer *transfer_;
    std::vector<unsigned char> buffer_;
    bool control_ = false;
    int done_raw_ = 0;
    std::atomic_ref<int> done_{done_raw_};
    std::thread::id callback_thread_;
};

// Handles events until `done` holds or `limit` passes; returns `done()`.
bool pump_until(libusb_context *ctx, const std::function<bool()> &done,
                std::chrono::milliseconds limit = 10000ms);

// Polls `done` until it holds or `limit` passes; returns `done()`.
bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit = 10000ms);

// Synchronous command helpers on a session's handle.
int send(libusb_device_handle *handle, uint8_t request, uint16_t value, Bytes data);
int receive(libusb_device_handle *handle, uint8_t request, uint16_t value, Bytes &data);
// The 63-byte status reply.
Bytes status(libusb_device_handle *handle);

inline void put_le32(Bytes &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace simtest
