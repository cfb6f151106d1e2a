// What the library's USB transport relies on from libusb when a camera is
// attached, checked the same way against the simulated libusb and the real
// one (see device_contract.h).
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "device_contract.h"

namespace contract {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kStatusRequest = 0xB0;
constexpr uint16_t kStatusLength = 63;

// One context with the camera open and interface 0 claimed.
class Handle {
  public:
    explicit Handle(const DeviceRig &rig) {
        if (libusb_init(&ctx_) != 0) return;
        libusb_device **list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            if (libusb_get_bus_number(list[i]) == rig.bus() &&
                libusb_get_port_number(list[i]) == rig.port() &&
                libusb_open(list[i], &handle_) == 0)
                break;
        }
        if (n >= 0) libusb_free_device_list(list, 1);
        if (handle_ != nullptr && libusb_claim_interface(handle_, 0) != 0) close();
    }
    ~Handle() {
        close();
        if (ctx_ != nullptr) libusb_exit(ctx_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    bool ok() const { return handle_ != nullptr; }
    libusb_context *ctx() const { return ctx_; }
    libusb_device_handle *get() const { return handle_; }
    void close() {
        if (handle_ != nullptr) libusb_close(handle_);
        handle_ = nullptr;
    }

  private:
    libusb_context *ctx_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
};

// An asynchronous transfer; its callback raises `done`.
class Transfer {
  public:
    Transfer() = default;
    ~Transfer() { libusb_free_transfer(transfer_); }
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;

    // The camera's status query.
    void fill_status(libusb_device_handle *handle, unsigned timeout_ms) {
        buffer_.assign(LIBUSB_CONTROL_SETUP_SIZE + kStatusLength, 0);
        libusb_fill_control_setup(buffer_.data(), 0xA2, kStatusRequest, 0, 0, kStatusLength);
        libusb_fill_control_transfer(transfer_, handle, buffer_.data(), &on_done, this, timeout_ms);
    }
    void fill_bulk(libusb_device_handle *handle, unsigned timeout_ms) {
        buffer_.assign(512, 0);
        libusb_fill_bulk_transfer(transfer_, handle, 0x81, buffer_.data(), 512, &on_done, this,
                                  timeout_ms);
    }
    int submit() {
        done_.store(0);
        return libusb_submit_transfer(transfer_);
    }
    libusb_transfer *get() const { return transfer_; }
    bool done() const { return done_.load() != 0; }
    int status() const { return transfer_->status; }
    int actual() const { return transfer_->actual_length; }

  private:
    static void LIBUSB_CALL on_done(libusb_transfer *transfer) {
        static_cast<Transfer *>(transfer->user_data)->done_.store(1);
    }

    libusb_transfer *transfer_ = libusb_alloc_transfer(0);
    std::vector<unsigned char> buffer_;
    std::atomic<int> done_{0};
};

// Handles events on the calling thread until `done` holds or `limit` passed;
// the last round of event handling starts after `limit`, so that everything
// due by then (a time-out, say) has been handled even on a stalled machine.
bool pump_until(libusb_context *ctx, const std::function<bool()> &done,
                std::chrono::milliseconds limit = 10000ms) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        const bool last = Clock::now() >= deadline;
        timeval slice{0, 5000};
        libusb_handle_events_timeout_completed(ctx, &slice, nullptr);
        if (last) return done();
    }
    return true;
}

class DeviceContract : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        rig_ = make_device_rig(why);
        if (!rig_) GTEST_SKIP() << why;
        handle_ = std::make_unique<Handle>(*rig_);
        ASSERT_TRUE(handle_->ok());
    }
    void TearDown() override {
        handle_.reset();
        rig_.reset();
    }

    std::unique_ptr<DeviceRig> rig_;
    std::unique_ptr<Handle> handle_;
};

long ms_since(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// libusb cancels a transfer whose time-out passed; a camera slow to let go
// of it delays its end, which then reports the time-out. The camera holds on
// for a second: long enough that no stall of a loaded machine lets it go
// before the checks that it has not.
TEST_F(DeviceContract, UnansweredTransferEndsTimedOutWhenTheCameraLetsGo) {
    rig_->hang_next(kStatusRequest, 1000);
    Transfer t;
    t.fill_status(handle_->get(), 50);
    const auto start = Clock::now();
    ASSERT_EQ(t.submit(), 0);
    EXPECT_FALSE(pump_until(
        handle_->ctx(), [&] { return t.done(); }, 120ms));
    // Already being cancelled by its time-out.
    EXPECT_EQ(libusb_cancel_transfer(t.get()), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_TRUE(pump_until(handle_->ctx(), [&] { return t.done(); }));
    EXPECT_EQ(t.status(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_GE(ms_since(start), 1040);
    EXPECT_LT(ms_since(start), 10000);  // it did end once the camera let go
}

TEST_F(DeviceContract, UnansweredTransferWithoutTimeOutEndsWhenCancelled) {
    rig_->hang_next(kStatusRequest, 100);
    Transfer t;
    t.fill_status(handle_->get(), 0);
    ASSERT_EQ(t.submit(), 0);
    EXPECT_FALSE(pump_until(
        handle_->ctx(), [&] { return t.done(); }, 100ms));
    const auto cancelled_at = Clock::now();
    EXPECT_EQ(libusb_cancel_transfer(t.get()), 0);
    EXPECT_EQ(libusb_cancel_transfer(t.get()), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_TRUE(pump_until(handle_->ctx(), [&] { return t.done(); }));
    EXPECT_EQ(t.status(), LIBUSB_TRANSFER_CANCELLED);
    EXPECT_GE(ms_since(cancelled_at), 90);
}

// The camera answered before the cancellation: the answer stands.
TEST_F(DeviceContract, CancellingAnAnsweredTransferChangesNothing) {
    Transfer t;
    t.fill_status(handle_->get(), 1000);
    ASSERT_EQ(t.submit(), 0);
    EXPECT_EQ(libusb_cancel_transfer(t.get()), LIBUSB_ERROR_NOT_FOUND);
    ASSERT_TRUE(pump_until(handle_->ctx(), [&] { return t.done(); }));
    EXPECT_EQ(t.status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(t.actual(), kStatusLength);
}

TEST_F(DeviceContract, UnpluggedCameraEndsTransfersAndRefusesCalls) {
    Transfer bulk;
    bulk.fill_bulk(handle_->get(), 0);
    ASSERT_EQ(bulk.submit(), 0);
    rig_->unplug();
    ASSERT_TRUE(pump_until(handle_->ctx(), [&] { return bulk.done(); }));
    EXPECT_EQ(bulk.status(), LIBUSB_TRANSFER_NO_DEVICE);
    Transfer status;
    status.fill_status(handle_->get(), 100);
    EXPECT_EQ(status.submit(), LIBUSB_ERROR_NO_DEVICE);
    libusb_device_handle *h = handle_->get();
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
}

}  // namespace
}  // namespace contract
