// The simulated libusb: listing, sessions, and the semantics of transfers
// and event handling that a USB transport relies on.
#include <gtest/gtest.h>

#include <thread>

#include "usb_client.h"

namespace simtest {
namespace {

class SimUsbTest : public ::testing::Test {
  protected:
    void SetUp() override { nxsim::reset(); }
    void TearDown() override {
        nxsim::UsbStats stats = nxsim::usb_stats();
        EXPECT_EQ(stats.contexts, 0);
        EXPECT_EQ(stats.open_handles, 0);
        EXPECT_EQ(stats.transfers_allocated, 0);
        EXPECT_EQ(stats.transfers_in_flight, 0);
        EXPECT_EQ(stats.device_refs, 0);
        nxsim::reset();
    }
};

struct Listed {
    uint16_t vid, pid;
    uint8_t bus, port, address;
    int speed;
};

std::vector<Listed> list_devices(libusb_context *ctx) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    std::vector<Listed> out;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        EXPECT_EQ(libusb_get_device_descriptor(list[i], &desc), 0);
        out.push_back({desc.idVendor, desc.idProduct, libusb_get_bus_number(list[i]),
                       libusb_get_port_number(list[i]), libusb_get_device_address(list[i]),
                       libusb_get_device_speed(list[i])});
    }
    EXPECT_EQ(list[n], nullptr);
    libusb_free_device_list(list, 1);
    return out;
}

TEST_F(SimUsbTest, ListsCamerasAndOtherDevicesWithTheirIdentity) {
    nxsim::add_foreign_device(0x046D, 0xC52B, 1, 5);
    nxsim::CameraConfig config;
    config.bus = 2;
    config.port = 4;
    config.speed = LIBUSB_SPEED_FULL;
    nxsim::Camera a = nxsim::add_camera(config);
    nxsim::Camera b = nxsim::add_camera();  // bus 1, next free port

    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    auto devices = list_devices(ctx);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].vid, 0x111B);
    EXPECT_EQ(devices[0].pid, 0x1238);
    EXPECT_EQ(devices[0].bus, 2);
    EXPECT_EQ(devices[0].port, 4);
    EXPECT_EQ(devices[0].address, a.address());
    EXPECT_EQ(devices[0].speed, LIBUSB_SPEED_FULL);
    EXPECT_EQ(devices[1].bus, 1);
    EXPECT_EQ(devices[1].port, 6);
    EXPECT_EQ(devices[1].speed, LIBUSB_SPEED_HIGH);
    EXPECT_NE(devices[1].address, devices[2].address);  // one address per device on bus 1
    EXPECT_EQ(devices[2].vid, 0x046D);
    EXPECT_EQ(b.port(), 6);

    // A foreign device cannot be opened; a held reference keeps a device.
    libusb_device **list = nullptr;
    ASSERT_EQ(libusb_get_device_list(ctx, &list), 3);
    libusb_device *kept = libusb_ref_device(list[0]);
    libusb_device_handle *handle = nullptr;
    EXPECT_EQ(libusb_open(list[2], &handle), LIBUSB_ERROR_ACCESS);
    libusb_free_device_list(list, 1);
    EXPECT_EQ(nxsim::usb_stats().device_refs, 1);
    EXPECT_EQ(libusb_get_port_number(kept), 4);
    libusb_unref_device(kept);
    libusb_exit(ctx);
}

TEST_F(SimUsbTest, OpenClaimAndConfigure) {
    nxsim::Camera cam = nxsim::add_camera();
    Session s(cam);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(libusb_set_configuration(s.handle(), 1), 0);
    EXPECT_EQ(libusb_set_configuration(s.handle(), 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(s.handle(), 1), 0);
    EXPECT_EQ(libusb_claim_interface(s.handle(), 0), 0);
    EXPECT_EQ(libusb_claim_interface(s.handle(), 2), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_set_configuration(s.handle(), 1), LIBUSB_ERROR_BUSY);

    // A second session finds the interface taken.
    Session other(cam);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(libusb_claim_interface(other.handle(), 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(other.handle(), 1), 0);
    EXPECT_EQ(libusb_release_interface(other.handle(), 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(s.handle(), 0), 0);
}

TEST_F(SimUsbTest, RefusedInterfaceAndRefusedOpenAreCounted) {
    nxsim::Camera cam = nxsim::add_camera();
    cam.refuse_interface(0);
    {
        Session s(cam);
        ASSERT_TRUE(s.ok());
        EXPECT_EQ(libusb_claim_interface(s.handle(), 0), LIBUSB_ERROR_BUSY);
        EXPECT_EQ(libusb_claim_interface(s.handle(), 1), 0);
    }
    EXPECT_EQ(cam.faults().refused_claims, 1u);
    cam.refuse_open();
    Session refused(cam);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(cam.faults().refused_opens, 1u);
}

TEST_F(SimUsbTest, CompletionsRunOnlyInsideEventHandlingOnItsThread) {
    nxsim::Camera cam = nxsim::add_camera();
    Session s(cam);
    Transfer t;
    t.fill_control(s.handle(), 0xA2, 0xB0, 0, Bytes(63));
    ASSERT_EQ(t.submit(), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(t.done());  // nobody handled events yet
    EXPECT_EQ(nxsim::usb_stats().transfers_in_flight, 1);

    std::thread::id handler;
    std::thread events([&] {
        handler = std::this_thread::get_id();
        timeval tv{5, 0};
        const auto start = std::chrono::steady_clock::now();
        libusb_handle_events_timeout_completed(s.ctx(), &tv, nullptr);
        // It returned because of the completion, not its 5 s time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    });
    events.join();
    ASSERT_TRUE(t.done());
    EXPECT_EQ(t.callback_thread(), handler);
    EXPECT_EQ(t.status(), LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(t.actual(), 63);
}

TEST_F(SimUsbTest, EventHandlingWakesForWorkAndForTheCompletedFlag) {
    nxsim::Camera cam = nxsim::add_camera();
    Session s(cam);
    int completed = 0;
    std::atomic<bool> returned{false};
    std::thread events([&] {
        timeval tv{10, 0};
        libusb_handle_events_timeout_completed(s.ctx(), &tv, &completed);
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned);
    std::atomic_ref<int>(completed).store(1);
    const auto start = std::chrono::steady_clock::now();
    events.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);  // not its 10 s time-out

    // A submission from another thread wakes a waiting handler.
    Transfer t;
    t.fill_control(s.handle(), 0xA2, 0xB0, 0, Bytes(63));
    std::thread handler([&] {
        timeval tv{10, 0};
        libusb_handle_events_timeout_completed(s.ctx(), &tv, nullptr);
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(t.submit(), 0);
    handler.join();
    EXPECT_TRUE(t.done());

    // With nothing to do, the time-out is served in full; interruption ends it.
    timeval short_wait{0, 50000};
    auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_handle_events_timeout(s.ctx(), &short_wait), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 50ms);
    libusb_interrupt_event_handler(s.ctx());
    before = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_handle_events(s.ctx()), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);  // not its 60 s time-out
}

TEST_F(SimUsbTest, CancelledAndTimedOutBulkTransfers) {
    nxsim::Camera cam = nxsim::add_camera();  // not capturing: no stream bytes
    Session s(cam);
    Transfer cancelled, timed_out;
    cancelled.fill_bulk(s.handle(), 4096, 0);
    timed_out.fill_bulk(s.handle(), 4096, 60);
    ASSERT_EQ(cancelled.submit(), 0);
    ASSERT_EQ(timed_out.submit(), 0);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.get()), 0);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.get()), LIBUSB_ERROR_NOT_FOUND);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until(s.ctx(), [&] { return cancelled.done() && timed_out.done(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_EQ(cancelled.status(), LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(timed_out.status(), LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(timed_out.actual(), 0);
    // Done transfers can be submitted again.
    ASSERT_EQ(cancelled.submit(), 0);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.get()), 0);
    ASSERT_TRUE(pump_until(s.ctx(), [&] { return cancelled.done(); }));
}

TEST_F(SimUsbTest, StreamIdAndFreeBufferFlag) {
    nxsim::Camera cam = nxsim::add_camera();
    Session s(cam);
    libusb_transfer *t = libusb_alloc_transfer(0);
    auto *buffer = static_cast<unsigned char *>(std::malloc(64));
    libusb_fill_bulk_transfer(t, s.handle(), 0x81, buffer, 64, nullptr, nullptr, 0);
    t->flags = LIBUSB_TRANSFER_FREE_BUFFER;
    libusb_transfer_set_stream_id(t, 11);
    EXPECT_EQ(libusb_submit_transfer(t), 0);
    EXPECT_EQ(libusb_transfer_get_stream_id(t), 11u);
    EXPECT_EQ(libusb_cancel_transfer(t), 0);
    ASSERT_TRUE(pump_until(s.ctx(), [] { return nxsim::usb_stats().transfers_in_flight == 0; }));
    libusb_free_transfer(t);  // frees the buffer too: AddressSanitizer would see a leak
}

TEST_F(SimUsbTest, UnpluggedDeviceEndsTransfersAndRefusesCalls) {
    nxsim::Camera cam = nxsim::add_camera();
    Session s(cam);
    ASSERT_EQ(libusb_claim_interface(s.handle(), 0), 0);
    Transfer bulk;
    bulk.fill_bulk(s.handle(), 512, 0);
    ASSERT_EQ(bulk.submit(), 0);
    cam.unplug();
    ASSERT_TRUE(pump_until(s.ctx(), [&] { return bulk.done(); }));
    EXPECT_EQ(bulk.status(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_EQ(bulk.submit(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(s.handle(), 0x81), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(s.handle(), 1), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(s.handle(), 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_control_transfer(s.handle(), 0xA2, 0xB0, 0, 0, nullptr, 0, 100),
              LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(cam.faults().unplugs, 1u);

    // Plugged back in, it is a new device with a new address.
    const uint8_t old_address = cam.address();
    cam.plug();
    EXPECT_NE(cam.address(), old_address);
    Session again(cam);
    EXPECT_TRUE(again.ok());
}

TEST_F(SimUsbTest, SynchronousCallsAndErrorNames) {
    nxsim::Camera cam = nxsim::add_camera();
    Session s(cam);
    Bytes reply(63);
    EXPECT_EQ(libusb_control_transfer(s.handle(), 0xA2, 0xB0, 0, 0, reply.data(), 63, 500), 63);
    // Standard requests are not the camera's: it stalls them.
    EXPECT_EQ(libusb_control_transfer(s.handle(), 0x80, 6, 0x0100, 0, reply.data(), 18, 500),
              LIBUSB_ERROR_PIPE);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(s.handle(), 0x81, reply.data(), 63, &got, 30),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(libusb_bulk_transfer(s.handle(), 0x02, reply.data(), 63, &got, 30),
              LIBUSB_ERROR_NOT_FOUND);
    cam.inject_hang(1, 0xB0);
    EXPECT_EQ(libusb_control_transfer(s.handle(), 0xA2, 0xB0, 0, 0, reply.data(), 63, 50),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_STREQ(libusb_error_name(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
    EXPECT_STREQ(libusb_error_name(LIBUSB_TRANSFER_STALL), "LIBUSB_TRANSFER_STALL");
}

void submit_twice(const nxsim::Camera &cam) {
    Session s(cam);
    Transfer t;
    t.fill_bulk(s.handle(), 512, 0);
    t.submit();
    t.submit();
}

void free_in_flight(const nxsim::Camera &cam) {
    Session s(cam);
    libusb_transfer *t = libusb_alloc_transfer(0);
    unsigned char buffer[16];
    libusb_fill_bulk_transfer(t, s.handle(), 0x81, buffer, 16, nullptr, nullptr, 0);
    libusb_submit_transfer(t);
    libusb_free_transfer(t);
}

void close_in_flight(const nxsim::Camera &cam) {
    Session s(cam);
    Transfer t;
    t.fill_bulk(s.handle(), 512, 0);
    t.submit();
    s.close();
}

void events_after_exit() {
    libusb_context *ctx = nullptr;
    libusb_init(&ctx);
    libusb_exit(ctx);
    timeval tv{0, 0};
    libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

using SimUsbDeathTest = SimUsbTest;

TEST_F(SimUsbDeathTest, MisuseEndsTheProcessWithAMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    nxsim::Camera cam = nxsim::add_camera();
    EXPECT_DEATH(submit_twice(cam), "submitted twice");
    EXPECT_DEATH(free_in_flight(cam), "libusb_free_transfer: the transfer .* is in flight");
    EXPECT_DEATH(close_in_flight(cam), "libusb_close: 1 transfer");
    EXPECT_DEATH(events_after_exit(),
                 "libusb_handle_events_timeout_completed: context .* not initialised");
}

}  // namespace
}  // namespace simtest
