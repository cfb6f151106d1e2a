// The testbed itself: what the real libusb's behaviour on it depends on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "sim/umockdev/usbfs_bus.h"
#include "support/ll_support.h"

namespace nxtest {
namespace {

// libusb sleeps between completions only because the faked device node is a
// FIFO; a change of umockdev's testbed layout must not go unnoticed.
TEST(UsbfsTestbedTest, DeviceNodeIsTheQuietFifo) {
    if (std::string why = nxsim::umock::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    nxsim::umock::UsbfsBus bus;
    nxsim::umock::UsbfsCamera cam = bus.add_camera(camera_at(1, 3));
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03u", cam.address());
    struct stat st {};
    ASSERT_EQ(::stat((bus.root_dir() + node).c_str(), &st), 0) << node;
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
}  // namespace nxtest
