// Listing, opening and closing cameras on the real libusb, and what an open
// camera costs while idle.
#include <sys/stat.h>

#include <ctime>
#include <thread>

#include "sim/camera/camera_model.h"
#include "usbfs_fixture.h"

namespace nxtest {
namespace {

using RealUsbSessionTest = RealUsbTest;

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// libusb lists the last sysfs name first: bus 2 before bus 1.
TEST_F(RealUsbSessionTest, ListsBothCamerasInLibusbOrderAndSkipsTheRootHubs) {
    UsbfsCamera first = add_camera(camera_at(1, 2));
    UsbfsCamera second = add_camera(camera_at(2, 4, 2));
    ll_device list[4];
    ASSERT_EQ(nivex_ll_dev_list(list, 4), 2);
    expect_listed(list[0], 2, 4, second.address(), 2);
    expect_listed(list[1], 1, 2, first.address(), 3);
    EXPECT_EQ(list[2].ops, nullptr);
}

// Names compare as text: port 10 comes between ports 1 and 2.
TEST_F(RealUsbSessionTest, CamerasAreListedByTheirSysfsNamesAsText) {
    for (uint8_t port : {1, 10, 2})
        add_camera(camera_at(1, port));
    ll_device list[3];
    ASSERT_EQ(nivex_ll_dev_list(list, 3), 3);
    EXPECT_EQ(list[0].usb_port, 2);
    EXPECT_EQ(list[1].usb_port, 10);
    EXPECT_EQ(list[2].usb_port, 1);
}

TEST_F(RealUsbSessionTest, OpensTakesTheIdentityAndClosesEverything) {
    UsbfsCamera cam = add_camera(camera_at(3, 7));
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.usb_bus, 3);
    EXPECT_EQ(ll.usb_port, 7);
    EXPECT_EQ(ll.usb_addr, cam.address());
    EXPECT_EQ(ll.usb_speed, 3);
    EXPECT_EQ(bus_->open_files(), 1u);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(&ll, 1, 0, &value, 1));
    nivex_ll_dev_close(&ll);
    EXPECT_EQ(ll.priv, nullptr);
    EXPECT_TRUE(all_files_closed(*bus_));
    EXPECT_EQ(log_count("ERR", "", ""), 0);
}

TEST_F(RealUsbSessionTest, ClaimsInterfaceOneWhenZeroIsRefused) {
    UsbfsCamera cam = add_camera();
    cam.act([](nxsim::CameraModel &m) { m.faults().set_refuse_interface(0, true); });
    ll_device *ll = open(cam);
    EXPECT_EQ(cam.act([](nxsim::CameraModel &m) { return m.faults().counters().refused_claims; }),
              1u);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
}

TEST_F(RealUsbSessionTest, FailsCleanlyWhenNoInterfaceCanBeClaimed) {
    UsbfsCamera cam = add_camera();
    cam.act([](nxsim::CameraModel &m) {
        m.faults().set_refuse_interface(0, true);
        m.faults().set_refuse_interface(1, true);
    });
    ll_device *ll = session_for(cam);
    EXPECT_EQ(nivex_ll_dev_open(ll), nullptr);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(
        log_count("ERR", "usb_ll_dev_open", "libusb_claim_interface failed: LIBUSB_ERROR_BUSY"), 1);
}

TEST_F(RealUsbSessionTest, IdleCameraCostsNoCpuAndClosesPromptly) {
    UsbfsCamera cam = add_camera();
    ll_device *ll = open(cam);
    std::this_thread::sleep_for(100ms);  // let the event thread settle into its wait
    const double before = process_cpu_seconds();
    std::this_thread::sleep_for(1s);
    // A spinning event thread would use the whole second.
    EXPECT_LT(process_cpu_seconds() - before, 0.1);

    const auto start = std::chrono::steady_clock::now();
    nivex_ll_dev_close(ll);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(log_count("TRC", "_ll_event_loop", "Exit ll event loop..."), 1);
    EXPECT_EQ(log_count("ERR", "_ll_event_loop", ""), 0);
}

// libusb sleeps between completions only because the faked device node is a
// FIFO; a change of umockdev's testbed layout must not go unnoticed.
TEST_F(RealUsbSessionTest, DeviceNodeIsTheQuietFifo) {
    UsbfsCamera cam = add_camera(camera_at(1, 3));
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", cam.address());
    struct stat st {};
    ASSERT_EQ(::stat((bus_->root_dir() + node).c_str(), &st), 0) << node;
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace nxtest
