// Listing, opening and closing cameras, the interface-1 fallback, and what an
// open camera costs while idle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "support/transport_scenarios.h"

namespace nxtest {
namespace {

using UsbSessionTest = TransportTest;

// In libusb's order: the last sysfs name first, bus 2 before bus 1.
TEST_F(UsbSessionTest, ListsCamerasInLibusbOrderAndSkipsOtherDevices) {
    rig().add_other_device(0x046D, 0xC52B, 1, 1);
    auto first = add_camera(camera_at(1, 2));
    rig().add_other_device(0x111B, 0x9999, 1, 3);  // the camera's vendor, another product
    auto second = add_camera(camera_at(2, 4, 2));

    ll_device list[3];
    list[2].usb_bus = 0xAB;  // must be zeroed: listing clears all `max` entries
    ASSERT_EQ(nivex_ll_dev_list(list, 3), 2);
    expect_listed(list[0], 2, 4, second->address(), 2);
    expect_listed(list[1], 1, 2, first->address(), 3);
    EXPECT_EQ(list[2].usb_bus, 0);
    EXPECT_EQ(list[2].ops, nullptr);
}

// Names compare as text: port 10 comes between ports 1 and 2.
TEST_F(UsbSessionTest, CamerasAreListedByTheirSysfsNamesAsText) {
    for (uint8_t port : {1, 10, 2})
        add_camera(camera_at(1, port));
    ll_device list[3];
    ASSERT_EQ(nivex_ll_dev_list(list, 3), 3);
    EXPECT_EQ(list[0].usb_port, 2);
    EXPECT_EQ(list[1].usb_port, 10);
    EXPECT_EQ(list[2].usb_port, 1);
}

TEST_F(UsbSessionTest, ListingStopsWhenTheListIsFull) {
    for (uint8_t port : {1, 2, 10})
        add_camera(camera_at(1, port));
    ll_device list[2];
    list[1].usb_bus = 0xAB;
    ASSERT_EQ(nivex_ll_dev_list(list, 1), 1);
    EXPECT_EQ(list[0].usb_port, 2);    // listed first: "1-2" is the last name as text
    EXPECT_EQ(list[1].usb_bus, 0xAB);  // beyond `max`: untouched
}

TEST_F(UsbSessionTest, OpensTheFirstCameraTakesItsIdentityAndClosesEverything) {
    auto cam = add_camera(camera_at(3, 7));
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.ident_valid, 1);
    EXPECT_EQ(ll.usb_bus, 3);
    EXPECT_EQ(ll.usb_port, 7);
    EXPECT_EQ(ll.usb_addr, cam->address());
    EXPECT_EQ(ll.usb_speed, 3);
    EXPECT_EQ(ll.ops, &ll_op_usb);
    EXPECT_EQ(rig().open_handles(), 1);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(&ll, 1, 0, &value, 1));
    nivex_ll_dev_close(&ll);
    EXPECT_EQ(ll.priv, nullptr);
    EXPECT_TRUE(eventually([&] { return rig().open_handles() == 0; }));
    EXPECT_EQ(log_count("ERR", "", ""), 0);
}

TEST_F(UsbSessionTest, FullSpeedCameraOpensWithWarning) {
    add_camera(camera_at(1, 1, 2));
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.usb_speed, 2);
    EXPECT_EQ(log_count("WRN", "_usb_ll_dev_open", "found nivex device not in HS mode (speed=2)"),
              1);
    nivex_ll_dev_close(&ll);
}

TEST_F(UsbSessionTest, NamedCameraMustBeOnItsBusAndPort) {
    add_camera(camera_at(1, 1));
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
    auto cam = add_camera(camera_at(2, 3));
    ll_device *ll = open(*cam);
    const uint8_t old_address = ll->usb_addr;
    nivex_ll_dev_close(ll);
    cam->unplug();
    cam->plug();
    ASSERT_NE(cam->address(), old_address);

    ASSERT_EQ(nivex_ll_dev_open(ll), ll);
    EXPECT_EQ(ll->usb_addr, old_address);  // only the handle is new
    EXPECT_EQ(ll->usb_bus, 2);
    EXPECT_EQ(ll->usb_port, 3);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
}

TEST_F(UsbSessionTest, DescriptorSessionsAreRefused) {
    add_camera();
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
    auto cam = add_camera();
    ll_device *ll = session_for(*cam);
    ASSERT_EQ(nivex_ll_dev_open_by_fd(ll), ll);
    EXPECT_NE(ll->priv, nullptr);
}

TEST_F(UsbSessionTest, ClosingAClosedSessionWarns) {
    add_camera();
    ll_device list[1];
    ASSERT_EQ(nivex_ll_dev_list(list, 1), 1);
    nivex_ll_dev_close(&list[0]);
    EXPECT_EQ(log_count("WRN", "usb_ll_dev_close", "device no need to closed!"), 1);
}

TEST_F(UsbSessionTest, OpeningAnOpenSessionKeepsIt) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    void *priv = ll->priv;
    EXPECT_EQ(nivex_ll_dev_open(ll), nullptr);
    EXPECT_EQ(ll->priv, priv);
    EXPECT_EQ(rig().open_handles(), 1);
    if (std::optional<int> contexts = rig().contexts()) {
        EXPECT_EQ(*contexts, 1);
    }
}

// CPU seconds a thread of this process has used, from the kernel's view.
double thread_cpu_seconds(const std::string &tid) {
    std::ifstream stat("/proc/self/task/" + tid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n >= 14) ticks += std::stoull(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(UsbSessionTest, IdleCameraCostsNoCpuAndClosesPromptly) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    std::vector<std::string> tids;
    ASSERT_TRUE(eventually([&] { return (tids = threads_named("nivex-usb-evt")).size() == 1; }));
    ASSERT_TRUE(eventually(
        [&] { return log_count("TRC", "_ll_event_loop", "Enter ll event loop...") == 1; }));
    // Measured over a second: a spinning event thread would use most of it,
    // even on a loaded machine.
    const double before = thread_cpu_seconds(tids[0]);
    std::this_thread::sleep_for(1s);
    EXPECT_LT(thread_cpu_seconds(tids[0]) - before, 0.1);

    // The event wait ends when the session closes: a close that hangs
    // would show here (generous for a loaded machine).
    const auto start = std::chrono::steady_clock::now();
    nivex_ll_dev_close(ll);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(log_count("TRC", "_ll_event_loop", "Exit ll event loop..."), 1);
    EXPECT_EQ(log_count("ERR", "_ll_event_loop", ""), 0);
}

TEST_F(UsbSessionTest, ClaimsInterfaceOneWhenZeroIsRefused) {
    auto cam = add_camera();
    cam->refuse_interface(0);
    ll_device *ll = open(*cam);
    EXPECT_EQ(cam->faults().refused_claims, 1u);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
}

TEST_F(UsbSessionTest, FailsCleanlyWhenNoInterfaceCanBeClaimed) {
    auto cam = add_camera();
    cam->refuse_interface(0);
    cam->refuse_interface(1);
    ll_device *ll = session_for(*cam);
    EXPECT_EQ(nivex_ll_dev_open(ll), nullptr);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(
        log_count("ERR", "usb_ll_dev_open", "libusb_claim_interface failed: LIBUSB_ERROR_BUSY"), 1);
    // TearDown checks that context, handle and transfers were all released.
}

}  // namespace
}  // namespace nxtest
