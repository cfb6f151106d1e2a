// Device events and automatic reopen against simulated cameras: unplugs
// during a capture, an open and a parameter call; replugs on the same port,
// on another one, and a different camera on the old port.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "api/device_reopen.h"
#include "support/ll_support.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using nxtest::SimTest;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr uint32_t kFrameBytes = 307200;  // TI frames: 320 x 240 x 4

struct Recorded {
    nivex_device *dev = nullptr;
    int event = 0;
    nivex_device_gap gap{};
};

// What the event callback saw, in order.
std::mutex g_mutex;
std::deque<Recorded> g_events;

void on_event(nivex_device *dev, int event, const nivex_device_gap *gap) {
    std::lock_guard lock(g_mutex);
    g_events.push_back({dev, event, *gap});
}

std::optional<Recorded> pop_event() {
    std::lock_guard lock(g_mutex);
    if (g_events.empty()) return std::nullopt;
    Recorded front = g_events.front();
    g_events.pop_front();
    return front;
}

class ReopenTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        {
            std::lock_guard lock(g_mutex);
            g_events.clear();
        }
        nx::set_reopen_poll_interval(20ms);
        cam_ = add_camera(kProduct);
    }

    void TearDown() override {
        SimTest::TearDown();
        nx::set_reopen_poll_interval(200ms);
    }

    // Opens the camera with the event callback, automatic reopen and a buffer.
    void open_watched() {
        ASSERT_EQ(open_first(), &dev_);
        ASSERT_TRUE(nivex_dev_set_callback_on_event(&dev_, on_event));
        ASSERT_TRUE(nivex_dev_set_auto_reopen(&dev_, true));
        ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 8 * NIVEX_FRAME_SLOT_SIZE));
    }

    // A watched capture that delivered a frame, and the camera pulled.
    void capture_then_unplug() {
        open_watched();
        ASSERT_TRUE(nivex_cap_start(&dev_));
        ASSERT_EQ(fetch(1), 1);
        cam_.unplug();
        ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE));
    }

    // Polls until `event` arrives; the events before it are passed over,
    // except that none may be BACK when waiting for GONE.
    std::optional<Recorded> await_event(int event, std::chrono::seconds limit = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            while (std::optional<Recorded> seen = pop_event()) {
                EXPECT_EQ(seen->dev, &dev_);
                if (seen->event == event) return seen;
            }
            EXPECT_GE(nivex_dev_poll_events(&dev_, 100), 0);
        }
        ADD_FAILURE() << "no event " << event;
        return std::nullopt;
    }

    // No event of kind `event` during `span` of polling.
    bool quiet_for(int event, std::chrono::milliseconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until) {
            nivex_dev_poll_events(&dev_, 50);
            while (std::optional<Recorded> seen = pop_event()) {
                if (seen->event == event) return false;
            }
        }
        return true;
    }

    int fetch(int frames) {
        buf_.resize(static_cast<size_t>(frames) * kFrameBytes);
        return nivex_cap_get_frames(&dev_, frames, buf_.data(), static_cast<uint32_t>(buf_.size()),
                                    nullptr);
    }

    // Frames that were ready before the unplug are still handed out; then
    // the fetch gives what ended the capture. Returns that result.
    int fetch_past_ready_frames() {
        int result = fetch(1);
        for (int i = 0; i < 16 && result > 0; ++i)
            result = fetch(1);
        return result;
    }

    // A fetch in the gap ends at once with the capture's unplug error; one
    // that asks for many frames would otherwise wait for minutes.
    void expect_gap_fetch_fails() {
        // Once the watcher let go of the dead transport, no late transfer
        // can bring one more frame.
        ASSERT_TRUE(nxtest::eventually([] { return nxsim::usb_stats().open_handles == 0; }));
        ASSERT_EQ(fetch_past_ready_frames(), NIVEX_ERR_CAP_UNKNOWN);
        auto many = std::async(std::launch::async, [this] {
            return nivex_cap_get_frames(&dev_, 1000, nullptr, 0, nullptr);
        });
        ASSERT_EQ(many.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(many.get(), NIVEX_ERR_CAP_UNKNOWN);
        EXPECT_EQ(fetch(1), NIVEX_ERR_CAP_UNKNOWN);
    }

    // Settings a camera that lost power has forgotten.
    static void forget_settings(nxsim::Camera &cam) {
        cam.set_frame_rate(30);
        const uint8_t intg[2] = {0xBC, 0x02};  // 700
        cam.set_param(NIVEX_PARAM_INTG_TIME, intg);
    }

    void set_param16(nivex_param_id id, uint16_t value) {
        nivex_param_entry entry{};
        entry.param_id = id;
        entry.param_val_len = 2;
        entry.param_val.u16 = value;
        ASSERT_TRUE(nivex_param_batch_set(&dev_, &entry, 1));
    }

    void set_frame_rate(uint32_t fps) {
        nivex_param_entry entry{};
        entry.param_id = NIVEX_PARAM_FRAME_RATE;
        entry.param_val_len = 4;
        entry.param_val.u32 = fps;
        ASSERT_TRUE(nivex_param_batch_set(&dev_, &entry, 1));
    }

    static nxsim::Camera twin_of(const nxsim::Camera &cam, uint8_t port, uint16_t chip_id) {
        nxsim::CameraConfig config;
        config.product = kProduct;
        config.bus = cam.bus();
        config.port = port;
        config.chip_id = chip_id;
        return nxsim::add_camera(config);
    }

    nxsim::Camera cam_;
    std::vector<uint8_t> buf_;
};

class ReplugDelay : public ReopenTest, public ::testing::WithParamInterface<int> {};

TEST_P(ReplugDelay, CaptureResumesWithItsSettingsAfterTheCameraReturns) {
    open_watched();
    set_frame_rate(20);
    set_param16(NIVEX_PARAM_INTG_TIME, 500);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    ASSERT_EQ(fetch(2), 2);
    const uint8_t old_addr = dev_.usb_addr;

    cam_.unplug();
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE));
    expect_gap_fetch_fails();
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    forget_settings(cam_);
    // The time the camera stays off the bus is the scenario, not a wait for
    // the library.
    std::this_thread::sleep_for(std::chrono::milliseconds(GetParam()));
    cam_.plug();

    std::optional<Recorded> back = await_event(NIVEX_DEV_EVENT_BACK);
    ASSERT_TRUE(back);
    EXPECT_GE(back->gap.usec_off_bus, static_cast<uint64_t>(GetParam()) * 1000);
    // 20 frames per second were read at the start.
    EXPECT_GE(back->gap.frames_lost, static_cast<uint32_t>(GetParam() / 50));
    EXPECT_EQ(back->gap.capture_restarted, 1u);
    EXPECT_EQ(back->gap.settings_refused, 0u);
    EXPECT_EQ(cam_.frame_rate(), 20u);
    EXPECT_EQ(cam_.integration_time(), 500u);
    EXPECT_NE(dev_.usb_addr, old_addr);
    EXPECT_EQ(dev_.usb_addr, cam_.address());
    EXPECT_TRUE(nivex_cap_is_ongoing(&dev_));
    EXPECT_EQ(fetch(3), 3);
}

INSTANTIATE_TEST_SUITE_P(Replug, ReplugDelay, ::testing::Values(500, 5000));

TEST_F(ReopenTest, TheSameCameraOnAnotherPortIsTakenBack) {
    ASSERT_NO_FATAL_FAILURE(capture_then_unplug());
    const uint8_t old_port = dev_.usb_port;
    const uint8_t new_port = static_cast<uint8_t>(old_port + 3);
    nxsim::Camera moved = twin_of(cam_, new_port, 7);

    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_BACK));
    EXPECT_EQ(dev_.usb_port, new_port);
    EXPECT_EQ(fetch(2), 2);
    EXPECT_TRUE(moved.capturing());
}

// A twin with the same chip and wafer IDs on another port stands for the
// camera after a power cycle: it has none of the settings made before.
TEST_F(ReopenTest, FilterSwitchesAndParametersAreMadeAgainOnTheReturnedCamera) {
    cam_.unplug();
    nxsim::CameraConfig config;  // an EPC camera
    config.port = 2;
    nxsim::Camera epc = nxsim::add_camera(config);
    open_watched();
    set_param16(NIVEX_PARAM_INTG_TIME, 450);
    ASSERT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_HDR, nullptr, 0), 1);
    ASSERT_TRUE(epc.sensor_state().hdr_integration_us.has_value());
    epc.unplug();
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE));

    config.port = 5;
    nxsim::Camera powered_up = nxsim::add_camera(config);
    ASSERT_FALSE(powered_up.sensor_state().hdr_integration_us.has_value());
    std::optional<Recorded> back = await_event(NIVEX_DEV_EVENT_BACK);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->gap.settings_refused, 0u);
    EXPECT_EQ(dev_.usb_port, 5);
    EXPECT_EQ(powered_up.integration_time(), 450u);
    EXPECT_TRUE(powered_up.sensor_state().hdr_integration_us.has_value());
}

TEST_F(ReopenTest, ADifferentCameraOnTheOldPortIsLeftAlone) {
    ASSERT_NO_FATAL_FAILURE(capture_then_unplug());
    nxsim::Camera stranger = twin_of(cam_, cam_.port(), 8);
    // The watcher asks it who it is, and lets go of it.
    ASSERT_TRUE(nxtest::eventually(
        [&] { return stranger.counters().commands > 0 && nxsim::usb_stats().open_handles == 0; }));
    const uint32_t asked = stranger.counters().commands;
    EXPECT_TRUE(quiet_for(NIVEX_DEV_EVENT_BACK, 300ms));
    EXPECT_EQ(stranger.counters().captures_started, 0u);
    // Once rejected, it is not opened again at every look.
    EXPECT_EQ(stranger.counters().commands, asked);
    EXPECT_EQ(fetch_past_ready_frames(), NIVEX_ERR_CAP_UNKNOWN);

    stranger.unplug();
    cam_.plug();
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_BACK));
    EXPECT_EQ(dev_.usb_addr, cam_.address());
    EXPECT_EQ(fetch(2), 2);
}

TEST_F(ReopenTest, UnplugDuringOpenFailsTheOpenCleanly) {
    // The identity read of the open hangs until the camera is pulled.
    cam_.inject_hang(1, 0xC0);
    auto open = std::async(std::launch::async, [this] { return nivex_dev_open(&dev_); });
    ASSERT_TRUE(nxtest::eventually([&] { return cam_.faults().hung_transfers > 0; }));
    cam_.unplug();
    ASSERT_EQ(open.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(open.get(), nullptr);
    EXPECT_EQ(dev_.handle, nullptr);
    EXPECT_EQ(nxsim::usb_stats().open_handles, 0);
    EXPECT_EQ(nxsim::usb_stats().contexts, 0);
    cam_.plug();
    open_watched();
    EXPECT_TRUE(nivex_cap_start(&dev_));
    EXPECT_EQ(fetch(1), 1);
}

TEST_F(ReopenTest, UnplugDuringAParameterCallIsReportedAndRecovered) {
    open_watched();
    cam_.inject_hang(1, 0xC0);
    auto call = std::async(std::launch::async, [this] {
        nivex_param_entry entry{};
        entry.param_id = NIVEX_PARAM_FRAME_RATE;
        return nivex_param_batch_get(&dev_, &entry, 1);
    });
    ASSERT_TRUE(nxtest::eventually([&] { return cam_.faults().hung_transfers > 0; }));
    cam_.unplug();
    ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(call.get());
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE));
    // Commands in the gap fail at once.
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_FRAME_RATE;
    EXPECT_FALSE(nivex_param_batch_get(&dev_, &entry, 1));
    cam_.plug();
    std::optional<Recorded> back = await_event(NIVEX_DEV_EVENT_BACK);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->gap.capture_restarted, 0u);
    EXPECT_FALSE(cam_.capturing());
    ASSERT_TRUE(nivex_param_batch_get(&dev_, &entry, 1));
    const uint32_t fps = entry.param_val.u32;  // a copy: the value is not aligned
    EXPECT_EQ(fps, cam_.frame_rate());
}

TEST_F(ReopenTest, AnIdleApplicationLearnsOfTheUnplugByPolling) {
    open_watched();
    EXPECT_EQ(nivex_dev_poll_events(&dev_, 0), 0);
    cam_.unplug();
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE));
    cam_.plug();
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_BACK));
    EXPECT_TRUE(nivex_cap_start(&dev_));
    EXPECT_EQ(fetch(1), 1);
}

TEST_F(ReopenTest, WithoutAutoReopenOnlyTheLossIsReported) {
    ASSERT_EQ(open_first(), &dev_);
    ASSERT_TRUE(nivex_dev_set_callback_on_event(&dev_, on_event));
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 8 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    ASSERT_EQ(fetch(1), 1);
    cam_.unplug();
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE));
    cam_.plug();
    EXPECT_TRUE(quiet_for(NIVEX_DEV_EVENT_BACK, 500ms));
    EXPECT_EQ(fetch_past_ready_frames(), NIVEX_ERR_CAP_UNKNOWN);
    EXPECT_FALSE(cam_.capturing());
}

TEST_F(ReopenTest, TheNewCallsWorkFromAnyThreadInTheGap) {
    ASSERT_NO_FATAL_FAILURE(capture_then_unplug());
    auto calls = std::async(std::launch::async, [this] {
        return nivex_dev_set_callback_on_event(&dev_, on_event) &&
               nivex_dev_set_auto_reopen(&dev_, false) && nivex_dev_poll_events(&dev_, 0) >= 0;
    });
    ASSERT_EQ(calls.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(calls.get());
    cam_.plug();
    // Switched off in the gap: nothing is reopened...
    EXPECT_TRUE(quiet_for(NIVEX_DEV_EVENT_BACK, 300ms));
    EXPECT_FALSE(cam_.capturing());
    // ...until it is switched on again; the identity read before still holds.
    ASSERT_TRUE(nivex_dev_set_auto_reopen(&dev_, true));
    ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_BACK));
    EXPECT_EQ(fetch(1), 1);
}

TEST_F(ReopenTest, AutoReopenCannotBeSwitchedOnForACameraAlreadyGone) {
    ASSERT_EQ(open_first(), &dev_);
    cam_.unplug();
    // The camera's identity cannot be read any more.
    EXPECT_FALSE(nivex_dev_set_auto_reopen(&dev_, true));
    EXPECT_TRUE(nivex_dev_set_auto_reopen(&dev_, false));
    nivex_dev_close(&dev_);
    EXPECT_FALSE(nivex_dev_set_auto_reopen(&dev_, true));
    EXPECT_EQ(nivex_dev_poll_events(&dev_, 0), -1);
    EXPECT_FALSE(nivex_dev_set_callback_on_event(&dev_, on_event));
}

TEST_F(ReopenTest, AStopInTheGapIsNotUndoneByTheReopen) {
    ASSERT_NO_FATAL_FAILURE(capture_then_unplug());
    EXPECT_TRUE(nivex_cap_stop(&dev_));
    cam_.plug();
    std::optional<Recorded> back = await_event(NIVEX_DEV_EVENT_BACK);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->gap.capture_restarted, 0u);
    EXPECT_FALSE(cam_.capturing());
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    EXPECT_LT(fetch_past_ready_frames(), 0);
}

TEST_F(ReopenTest, CloseInTheGapEndsTheWatch) {
    ASSERT_NO_FATAL_FAILURE(capture_then_unplug());
    nivex_dev_close(&dev_);
    EXPECT_EQ(dev_.handle, nullptr);
    EXPECT_EQ(nivex_dev_poll_events(&dev_, 0), -1);
    cam_.plug();
    // Nobody reopens it: nothing holds it, and it does not stream.
    EXPECT_TRUE(quiet_for(NIVEX_DEV_EVENT_BACK, 300ms));
    EXPECT_EQ(nxsim::usb_stats().open_handles, 0);
    EXPECT_FALSE(cam_.capturing());
    EXPECT_EQ(open_first(), &dev_);
}

TEST_F(ReopenTest, CloseRacingTheReopenLeavesNothingOpen) {
    for (int i = 0; i < 20; ++i) {
        open_watched();
        ASSERT_TRUE(nivex_cap_start(&dev_));
        cam_.unplug();
        ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE)) << "round " << i;
        cam_.plug();
        // Somewhere in the watcher's look for the camera, or before it.
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 3));
        nivex_dev_close(&dev_);
        EXPECT_EQ(dev_.handle, nullptr);
        // Close returned with everything of the session released.
        EXPECT_EQ(nxsim::usb_stats().open_handles, 0) << "round " << i;
        EXPECT_EQ(nxsim::usb_stats().contexts, 0) << "round " << i;
    }
}

TEST_F(ReopenTest, CallsFromOtherThreadsDuringCyclesNeitherHangNorRace) {
    open_watched();
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::atomic<bool> done{false};
    auto prober = std::async(std::launch::async, [&] {
        nivex_cap_health health{};
        while (!done.load()) {
            health.struct_size = sizeof health;
            nivex_cap_get_health(&dev_, &health);
            nivex_param_entry entry{};
            entry.param_id = NIVEX_PARAM_INTG_TIME;
            nivex_param_batch_get(&dev_, &entry, 1);
            nivex_cap_get_frame(&dev_, nullptr, 0, nullptr);
        }
    });
    constexpr int kCycles = 100;
    for (int i = 0; i < kCycles; ++i) {
        cam_.unplug();
        ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_GONE)) << "cycle " << i;
        cam_.plug();
        ASSERT_TRUE(await_event(NIVEX_DEV_EVENT_BACK)) << "cycle " << i;
        ASSERT_GT(nivex_cap_get_frames(&dev_, 1, nullptr, 0, nullptr), 0) << "cycle " << i;
    }
    done = true;
    ASSERT_EQ(prober.wait_for(20s), std::future_status::ready);
    nivex_dev_close(&dev_);
    EXPECT_EQ(nxsim::usb_stats().open_handles, 0);
    EXPECT_EQ(nxsim::usb_stats().contexts, 0);
    EXPECT_EQ(nxsim::usb_stats().transfers_allocated, 0);
}

}  // namespace
