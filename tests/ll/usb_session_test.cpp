// Listing, opening and closing cameras, and the libusb resources behind them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "usb_fixture.h"

namespace nxtest {
namespace {

using UsbSessionTest = UsbTest;

// In libusb's order: the last sysfs name first.
TEST_F(UsbSessionTest, ListsCamerasInLibusbOrderAndSkipsOtherDevices) {
    nxsim::add_foreign_device(0x046D, 0xC52B, 1, 1);
    nxsim::Camera first = nxsim::add_camera(camera_at(1, 2));
    nxsim::add_foreign_device(0x111B, 0x9999, 1, 3);
    nxsim::Camera second = nxsim::add_camera(camera_at(2, 4, 2));

    ll_device list[3];
    list[2].usb_bus = 0xAB;  // must be zeroed: listing clears all `max` entries
    ASSERT_EQ(nivex_ll_dev_list(list, 3), 2);
    expect_listed(list[0], 2, 4, second.address(), 2);
    expect_listed(list[1], 1, 2, first.address(), 3);
    EXPECT_EQ(list[2].usb_bus, 0);
    EXPECT_EQ(list[2].ops, nullptr);
}

TEST_F(UsbSessionTest, ListingStopsWhenTheListIsFull) {
    nxsim::add_camera(camera_at(1, 1));
    nxsim::add_camera(camera_at(1, 2));
    nxsim::add_camera(camera_at(1, 10));
    ll_device list[2];
    list[1].usb_bus = 0xAB;
    ASSERT_EQ(nivex_ll_dev_list(list, 1), 1);
    EXPECT_EQ(list[0].usb_port, 2);    // listed first: "1-2" is the last name as text
    EXPECT_EQ(list[1].usb_bus, 0xAB);  // beyond `max`: untouched
}

TEST_F(UsbSessionTest, OpensFirstCameraAndTakesItsIdentity) {
    nxsim::Camera cam = nxsim::add_camera(camera_at(3, 7));
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.ident_valid, 1);
    EXPECT_EQ(ll.usb_bus, 3);
    EXPECT_EQ(ll.usb_port, 7);
    EXPECT_EQ(ll.usb_addr, cam.address());
    EXPECT_EQ(ll.usb_speed, 3);
    EXPECT_EQ(ll.ops, &ll_op_usb);
    nivex_ll_dev_close(&ll);
    EXPECT_EQ(ll.priv, nullptr);
}

TEST_F(UsbSessionTest, FullSpeedCameraOpensWithWarning) {
    nxsim::add_camera(camera_at(1, 1, 2));
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.usb_speed, 2);
    EXPECT_EQ(log_count("WRN", "_usb_ll_dev_open", "found nivex device not in HS mode (speed=2)"),
              1);
    nivex_ll_dev_close(&ll);
}

TEST_F(UsbSessionTest, FirstCameraThatRefusesIsSkipped) {
    nxsim::add_camera(camera_at(1, 1));
    nxsim::Camera refusing = nxsim::add_camera(camera_at(1, 2));  // listed first
    refusing.refuse_open();
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.usb_port, 1);
    EXPECT_EQ(log_count("WRN", "_usb_ll_dev_open", "failed to open this device"), 1);
    nivex_ll_dev_close(&ll);
}

TEST_F(UsbSessionTest, NamedCameraMustBeOnItsBusAndPort) {
    nxsim::add_camera(camera_at(1, 1));
    ll_device ll{};
    ll.ident_valid = 1;
    ll.usb_bus = 1;
    ll.usb_port = 5;
    EXPECT_EQ(nivex_ll_dev_open(&ll), nullptr);
    EXPECT_EQ(ll.priv, nullptr);
    EXPECT_EQ(ll.ops, nullptr);
    EXPECT_EQ(ll.usb_port, 5);
}

TEST_F(UsbSessionTest, ReopensCameraThatReenumeratedWithNewAddress) {
    nxsim::Camera cam = nxsim::add_camera(camera_at(2, 3));
    ll_device *ll = open(cam);
    const uint8_t old_address = ll->usb_addr;
    nivex_ll_dev_close(ll);
    cam.unplug();
    cam.plug();
    ASSERT_NE(cam.address(), old_address);

    ASSERT_EQ(nivex_ll_dev_open(ll), ll);
    EXPECT_EQ(ll->usb_addr, old_address);  // only the handle is new
    EXPECT_EQ(ll->usb_bus, 2);
    EXPECT_EQ(ll->usb_port, 3);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
}

TEST_F(UsbSessionTest, DescriptorSessionsAreRefused) {
    nxsim::add_camera();
    ll_device ll{};
    ll.dev_fd = 5;
    EXPECT_EQ(nivex_ll_dev_open(&ll), nullptr);
    EXPECT_EQ(nivex_ll_dev_open_by_fd(&ll), nullptr);
    EXPECT_EQ(ll.priv, nullptr);
    ll.ops = &ll_op_usb;
    nivex_ll_dev_close(&ll);
    EXPECT_EQ(log_count("WRN", "usb_ll_dev_close", "device no need to closed!"), 0);
}

TEST_F(UsbSessionTest, OpenByDescriptorOpensLikeOpen) {
    nxsim::Camera cam = nxsim::add_camera();
    ll_device *ll = session_for(cam);
    ASSERT_EQ(nivex_ll_dev_open_by_fd(ll), ll);
    EXPECT_NE(ll->priv, nullptr);
}

TEST_F(UsbSessionTest, ClosingAClosedSessionWarns) {
    nxsim::add_camera();
    ll_device list[1];
    ASSERT_EQ(nivex_ll_dev_list(list, 1), 1);
    nivex_ll_dev_close(&list[0]);
    EXPECT_EQ(log_count("WRN", "usb_ll_dev_close", "device no need to closed!"), 1);
}

TEST_F(UsbSessionTest, OpeningAnOpenSessionKeepsIt) {
    nxsim::Camera cam = nxsim::add_camera();
    ll_device *ll = open(cam);
    void *priv = ll->priv;
    EXPECT_EQ(nivex_ll_dev_open(ll), nullptr);
    EXPECT_EQ(ll->priv, priv);
    EXPECT_EQ(nxsim::usb_stats().contexts, 1);
}

TEST_F(UsbSessionTest, IdleCloseEndsTheEventThreadPromptly) {
    nxsim::Camera cam = nxsim::add_camera();
    ll_device *ll = open(cam);
    std::this_thread::sleep_for(50ms);  // let the event thread settle into its wait
    const auto start = std::chrono::steady_clock::now();
    nivex_ll_dev_close(ll);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(log_count("TRC", "_ll_event_loop", "Exit ll event loop..."), 1);
    EXPECT_EQ(log_count("ERR", "_ll_event_loop", ""), 0);
}

TEST_F(UsbSessionTest, ClaimsInterfaceOneWhenZeroIsRefused) {
    nxsim::Camera cam = nxsim::add_camera();
    cam.refuse_interface(0);
    ll_device *ll = open(cam);
    EXPECT_EQ(cam.faults().refused_claims, 1u);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
}

TEST_F(UsbSessionTest, FailsCleanlyWhenNoInterfaceCanBeClaimed) {
    nxsim::Camera cam = nxsim::add_camera();
    cam.refuse_interface(0);
    cam.refuse_interface(1);
    ll_device *ll = session_for(cam);
    EXPECT_EQ(nivex_ll_dev_open(ll), nullptr);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_open", "libusb_claim_interface failed"), 1);
    // TearDown checks that context, handle and transfers were all released.
}

TEST_F(UsbSessionTest, AppliesLibusbVerbosityToNewContexts) {
    nxsim::Camera cam = nxsim::add_camera();
    const std::pair<uint32_t, int> mapping[] = {{0, 4}, {1, 4}, {2, 3}, {3, 2},
                                                {4, 1}, {5, 0}, {9, 0}};
    for (auto [level, verbosity] : mapping) {
        nivex_ll_set_debug(level);
        ll_device *ll = open(cam);
        EXPECT_EQ(nxsim::usb_stats().log_level, verbosity) << "level " << level;
        nivex_ll_dev_close(ll);
    }
}

}  // namespace
}  // namespace nxtest
