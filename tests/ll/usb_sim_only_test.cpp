// Transport scenarios only the simulated libusb can set up: a camera that
// refuses to be opened, libusb's log level, transfers left to libusb at
// close, and event waits that a signal interrupts. The scenarios both tiers
// run are in tests/support/transport_scenarios/.
#include <gtest/gtest.h>

#include <chrono>

#include "sim/camsim.h"
#include "support/transport_scenarios.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace nxtest {
namespace {

using namespace std::chrono_literals;
using UsbSessionTest = TransportTest;
using UsbCommandTest = TransportTest;
using UsbRobustnessTest = TransportTest;

// The simulator's handle on the camera the rig put on the bus last.
nxsim::Camera last_camera() {
    return nxsim::cameras().back();
}

TEST_F(UsbSessionTest, FirstCameraThatRefusesIsSkipped) {
    add_camera(camera_at(1, 1));
    add_camera(camera_at(1, 2));  // listed first
    last_camera().refuse_open();
    ll_device ll{};
    ASSERT_EQ(nivex_ll_dev_open(&ll), &ll);
    EXPECT_EQ(ll.usb_port, 1);
    EXPECT_EQ(log_count("WRN", "_usb_ll_dev_open", "failed to open this device"), 1);
    nivex_ll_dev_close(&ll);
}

TEST_F(UsbSessionTest, AppliesLibusbVerbosityToNewContexts) {
    auto cam = add_camera();
    const std::pair<uint32_t, int> mapping[] = {{0, 4}, {1, 4}, {2, 3}, {3, 2},
                                                {4, 1}, {5, 0}, {9, 0}};
    for (auto [level, verbosity] : mapping) {
        nivex_ll_set_debug(level);
        ll_device *ll = open(*cam);
        EXPECT_EQ(nxsim::usb_stats().log_level, verbosity) << "level " << level;
        nivex_ll_dev_close(ll);
    }
}

// The camera holds the command for a minute after its cancellation: close
// gives up waiting for it and leaves it to libusb.
TEST_F(UsbCommandTest, CloseLeavesAHungTransferToLibusb) {
#if defined(__SANITIZE_ADDRESS__)
    __lsan::ScopedDisabler leaked_on_purpose;
#endif
    expect_released_ = false;
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->inject_hang(0xC2, 60000);
    const uint32_t value = 7;
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    const auto start = std::chrono::steady_clock::now();
    nivex_ll_dev_close(ll);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_GT(took.count(), 1.5);
    EXPECT_LT(took.count(), 30.0);  // not the camera's minute
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(log_count("ERR", "usb_ll_priv_free", "0 capture and 1 command transfer(s)"), 1);
    nxsim::UsbStats stats = nxsim::usb_stats();
    EXPECT_EQ(stats.contexts, 0);
    EXPECT_EQ(stats.open_handles, 0);
    EXPECT_EQ(stats.transfers_allocated, 1);
}

TEST_F(UsbCommandTest, InterfaceResetGivesUpWhenTheCameraCannotBeReopened) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    last_camera().refuse_open();
    EXPECT_FALSE(nivex_ll_dev_reset(ll, 3));
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(log_count("WRN", "usb_ll_dev_reset", "reopen device failed!"), 1);
    EXPECT_EQ(log_count("TRC", "usb_ll_dev_reset", "Reset usb if end."), 1);
}

// At 30 frames a second, so that the event thread has time for the command.
TEST_F(UsbRobustnessTest, InterruptedEventWaitsAreWaitedAgain) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    CaptureRecorder recorder;
    ASSERT_TRUE(nivex_ll_cap_start(ll, 0, CaptureRecorder::callback, &recorder));
    nxsim::interrupt_event_waits(200);
    ASSERT_TRUE(eventually([] { return nxsim::event_interrupts_left() == 0; }));
    // The event thread is still there: transfers complete and commands work.
    const int before = recorder.count(LL_CAP_EVT_DATA);
    EXPECT_TRUE(eventually([&] { return recorder.count(LL_CAP_EVT_DATA) > before + 20; }));
    ll_param_entry fps{};
    fps.id = NIVEX_PARAM_FRAME_RATE;
    EXPECT_TRUE(nivex_ll_param_get(ll, &fps, 1));
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_EQ(log_count("WRN", "_ll_event_loop", "LIBUSB_ERROR_INTERRUPTED"), 0);
}

}  // namespace
}  // namespace nxtest
