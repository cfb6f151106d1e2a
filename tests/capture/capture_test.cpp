// The capture engine end to end: simulated camera -> simulated libusb -> USB
// transport -> stream parser -> capture engine -> the caller's buffer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "api/capture.h"
#include "api/session.h"
#include "support/ll_support.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using nxtest::SimTest;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr uint32_t kFrameBytes = 307200;  // TI frames: 320 x 240 x 4

class CaptureTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = add_camera(kProduct);
        ASSERT_EQ(open_first(), &dev_);
        ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 10 * NIVEX_FRAME_SLOT_SIZE));
    }

    nx::Session &session() { return *nx::session_of(&dev_); }

    uint32_t frames_ready() {
        nx_stream_state state{};
        nx_stream_get_state(session().stream.get(), &state);
        return state.frames_ready;
    }

    // Nothing more reaches the engine, however long a loaded machine makes the
    // next steps take: the link stops moving the camera's bytes, and every
    // transfer that completed before has been through the engine (it is
    // resubmitted only after its callback).
    static void quiet_the_stream(nxsim::Camera &cam) {
        cam.set_link_rate(1);
        ASSERT_TRUE(
            nxtest::eventually([] { return nxsim::usb_stats().transfers_in_flight == 16; }));
    }

    // Starts the capture with one frame, then lets the camera go flat out:
    // streaming from the start command on would keep the event thread busy
    // while the command's status query waits, which a loaded machine can
    // stretch past the command time-out.
    bool start_fast() {
        cam_.set_frame_rate(1);
        cam_.set_stream_mode(nxsim::StreamMode::FrameRate);
        if (!nivex_cap_start(&dev_)) return false;
        cam_.set_stream_mode(nxsim::StreamMode::Fast);
        return true;
    }

    nivex_cap_stats stats() {
        nivex_cap_stats s{};
        EXPECT_TRUE(nivex_cap_get_stats(&dev_, &s));
        return s;
    }

    // Every frame in buf (back to back, from first_idx on) is the one the camera sent.
    static void expect_frames(const std::vector<uint8_t> &buf, uint32_t first_idx, int count) {
        for (int i = 0; i < count; ++i) {
            std::vector<uint8_t> want = nxsim::expected_frame(kProduct, first_idx + i);
            ASSERT_EQ(std::memcmp(buf.data() + static_cast<size_t>(i) * kFrameBytes, want.data(),
                                  kFrameBytes),
                      0)
                << "frame " << first_idx + i;
        }
    }

    nxsim::Camera cam_;
};

// Callbacks record into globals: they are plain C function pointers.
std::atomic<int> g_ready_calls{0};
std::atomic<int> g_last_error{0};
std::atomic<uint32_t> g_last_error_arg{0};
std::atomic<bool> g_error_answer{true};
std::vector<uint16_t> g_ready_idx;  // written on the fetching thread only

void on_ready(nivex_device *, nivex_frame *frame) {
    ++g_ready_calls;
    g_ready_idx.push_back(frame->frame_info.frame_idx);
    std::vector<uint8_t> want = nxsim::expected_frame(kProduct, frame->frame_info.frame_idx);
    EXPECT_EQ(std::memcmp(frame->frame_data, want.data(), want.size()), 0);
}

bool on_error(nivex_device *, int err, uint32_t arg) {
    g_last_error = err;
    g_last_error_arg = arg;
    return g_error_answer.load();
}

void reset_callbacks() {
    g_ready_calls = 0;
    g_last_error = 0;
    g_last_error_arg = 0;
    g_error_answer = true;
    g_ready_idx.clear();
}

TEST_F(CaptureTest, FramesArriveByteExactAndInOrder) {
    // Two frames a second: the camera, which holds four, drops none however
    // slowly a loaded machine takes them in, so five in a row arrive.
    cam_.set_frame_rate(2);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    EXPECT_TRUE(nivex_cap_is_ongoing(&dev_));
    std::vector<uint8_t> buf(5 * kFrameBytes);
    nivex_frame_meta first{};
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 5, buf.data(), buf.size(), &first), 5);
    EXPECT_EQ(first.frame_size, kFrameBytes);
    EXPECT_EQ(first.width, 320u);
    EXPECT_EQ(first.height, 240u);
    expect_frames(buf, first.frame_idx, 5);
    // The simulator knows when each frame left it; none was handed out before.
    auto sent = cam_.frame_sent_at(first.frame_idx + 4u);
    ASSERT_TRUE(sent.has_value());
    EXPECT_LE(*sent, std::chrono::steady_clock::now());
    EXPECT_FALSE(cam_.frame_sent_at(first.frame_idx + 5000u).has_value());
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
}

TEST_F(CaptureTest, FrameBufferSizes) {
    void *buf = &buf;
    uint32_t size = 0;
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 614399));
    EXPECT_FALSE(nivex_cap_start(&dev_));
    EXPECT_TRUE(logged("[_nivex_cap_start]  capture buffer not set or size is not correct \n"));
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 614400));
    EXPECT_TRUE(nivex_cap_start(&dev_));
    EXPECT_FALSE(nivex_cap_set_frame_buffer(&dev_, nullptr, 6144000));  // not while capturing
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 6144000));
    ASSERT_TRUE(nivex_cap_get_frame_buffer(&dev_, &buf, &size));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 6144000u);
    EXPECT_TRUE(logged("[nivex_cap_set_frame_buffer] frame buffer: 20 frames\n"));
}

TEST_F(CaptureTest, FetchTimeoutFollowsTheFrameRateReadAtStart) {
    std::vector<uint8_t> buf(5 * kFrameBytes);
    cam_.set_frame_rate(30);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 5, buf.data(), buf.size(), nullptr), 5);
    EXPECT_TRUE(logged("frame_num = 5, timeout_msec=2665\n"));  // 500 + 5 x 33 + 2000
    ASSERT_TRUE(nivex_cap_stop(&dev_));

    // A read that fails keeps the last rate.
    cam_.inject_error("parameters unavailable", 0xC0, 1);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 4, buf.data(), buf.size(), nullptr), 4);
    EXPECT_TRUE(logged("frame_num = 4, timeout_msec=2532\n"));  // 400 + 4 x 33 + 2000
    ASSERT_TRUE(nivex_cap_stop(&dev_));

    // A camera that reports 0 frames per second (it sends one a second): the
    // fetch falls back to 50 ms per frame, and waits all of its time-out.
    cam_.set_frame_rate(0);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    auto start = std::chrono::steady_clock::now();
    EXPECT_LT(nivex_cap_get_frames(&dev_, 5, buf.data(), buf.size(), nullptr), 5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2750ms);
    EXPECT_TRUE(logged("frame_num = 5, timeout_msec=2750\n"));  // 500 + 5 x 50 + 2000
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureTest, WrongFetchesAndIdleDevices) {
    uint32_t dummy;
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 0, &dummy, 4, nullptr), -1);
    EXPECT_EQ(nivex_cap_get_frames(&dev_, -3, &dummy, 4, nullptr), -1);
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, &dummy, 4, nullptr), -2);
    EXPECT_FALSE(logged("timeout ..."));  // no waiting when idle
    EXPECT_EQ(nivex_cap_get_frame(&dev_, &dummy, 4, nullptr), -2);
    EXPECT_FALSE(nivex_cap_wait(&dev_, 10));
    EXPECT_TRUE(nivex_cap_stop(&dev_));  // stopping an idle capture is fine
}

TEST_F(CaptureTest, AllReadyFramesLeaveInOnePass) {
    reset_callbacks();
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, on_ready));
    cam_.set_frame_rate(2);  // the camera, which holds four frames, drops none
    ASSERT_TRUE(nivex_cap_start(&dev_));
    ASSERT_TRUE(nxtest::eventually([&] { return frames_ready() >= 3; }));
    quiet_the_stream(cam_);  // no frame becomes ready during the fetch
    const uint32_t queued = stats().frames_queued;
    std::vector<uint8_t> buf(2 * kFrameBytes + 100);
    nivex_frame_meta first{};
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 2, buf.data(), buf.size(), &first), 2);
    ASSERT_EQ(stats().frames_queued, queued);  // the camera was quiet
    EXPECT_GE(g_ready_calls.load(), 3);        // the third frame went to the callback too
    EXPECT_EQ(frames_ready(), 0u);
    ASSERT_GE(g_ready_idx.size(), 3u);
    EXPECT_EQ(first.frame_idx, g_ready_idx[0]);
    expect_frames(buf, first.frame_idx, 2);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureTest, SinglePollTakesAFrameWhenOneIsReady) {
    cam_.set_frame_rate(200);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    nivex_frame_meta meta{};
    int got = 0;
    ASSERT_TRUE(nxtest::eventually(
        [&] { return (got = nivex_cap_get_frame(&dev_, buf.data(), buf.size(), &meta)) != 0; }));
    ASSERT_EQ(got, 1);
    expect_frames(buf, meta.frame_idx, 1);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureTest, TimeoutsOnlyEndTheCaptureWithoutDataInBetween) {
    reset_callbacks();
    ASSERT_TRUE(nivex_cap_set_callback_on_error(&dev_, on_error));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    // Two runs of 32 time-outs in a row, with data between them: 64 in all,
    // and the capture goes on.
    for (int round = 0; round < 2; ++round) {
        const uint32_t before = cam_.faults().timeouts;
        cam_.inject_bulk_timeout(32);
        while (cam_.faults().timeouts < before + 32 || session().cap.timeouts() != 0)
            ASSERT_GE(nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr), 0);
        EXPECT_FALSE(session().cap.stopping()) << "round " << round;
        EXPECT_EQ(session().cap.pending().code, 0);
        EXPECT_EQ(g_last_error.load(), 0);
    }
    // The 33rd in a row ends it.
    cam_.inject_bulk_timeout(33);
    int got = 0;
    for (int i = 0; i < 200 && got >= 0 && g_last_error.load() == 0; ++i) {
        got = nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr);
    }
    EXPECT_EQ(g_last_error.load(), NIVEX_ERR_CAP_TIMEOUT);
    EXPECT_TRUE(logged("[WRN] [on_capture_event] trans timeout -> stop\n"));
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureTest, StallsOnlyEndTheCaptureWithoutDataInBetween) {
    // The endpoint halts when the camera has data to send; a halt the host
    // clears strikes again at once, with no data in between.
    std::vector<uint8_t> buf(kFrameBytes);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    for (int round = 0; round < 2; ++round) {
        const uint32_t before = cam_.faults().stalls;
        cam_.inject_stall(16);
        // Frames after the halts: data chunks, which start the count again.
        while (cam_.faults().stalls < before + 16 || session().cap.stalls() != 0)
            ASSERT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr), 1);
        EXPECT_FALSE(session().cap.stopping()) << "round " << round;
        EXPECT_EQ(session().cap.pending().code, 0);
    }
    cam_.inject_stall(17);
    // The transfers still queued when the host cleared the last halt may be
    // filled and complete after it: their frames (at most 15 transfers' worth)
    // are handed out before the stall is reported.
    int got = 0;
    for (int fetches = 0; fetches < 20 && got >= 0; ++fetches)
        got = nivex_cap_get_frames(&dev_, 3, nullptr, 0, nullptr);
    EXPECT_EQ(got, NIVEX_ERR_CAP_STALL);
    EXPECT_TRUE(logged("[WRN] [on_capture_event] trans stall -> stop\n"));
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureTest, CorruptionIsReportedAsDiscardedFrames) {
    reset_callbacks();
    ASSERT_TRUE(nivex_cap_set_callback_on_error(&dev_, on_error));
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, on_ready));  // checks every frame
    cam_.inject_corruption(2e-6);
    ASSERT_TRUE(start_fast());
    std::vector<uint8_t> buf(kFrameBytes);
    for (int i = 0; i < 200 && g_last_error.load() == 0; ++i) {
        nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr);
    }
    EXPECT_EQ(g_last_error.load(), NIVEX_ERR_CAP_FRAME_DISCARD);
    EXPECT_GE(g_last_error_arg.load(), 1u);
    EXPECT_TRUE(logged("[DBG] [on_capture_event] trans discard "));
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureTest, ErrorCallbackCanStopTheHandOut) {
    reset_callbacks();
    g_error_answer = false;
    ASSERT_TRUE(nivex_cap_set_callback_on_error(&dev_, on_error));
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, on_ready));
    cam_.drop_next_chunks(1);  // the first frame is damaged: a discard report
    ASSERT_TRUE(start_fast());
    // Generous: the wait ends with the discard report, long before this.
    EXPECT_TRUE(nivex_cap_wait(&dev_, 30000));
    EXPECT_EQ(g_last_error.load(), NIVEX_ERR_CAP_FRAME_DISCARD);
    int handed_out = g_ready_calls.load();
    std::this_thread::sleep_for(50ms);
    uint32_t dummy;
    nivex_cap_get_frame(&dev_, &dummy, 4, nullptr);
    EXPECT_EQ(g_ready_calls.load(), handed_out);  // nothing more until the next start
    nivex_cap_stop(&dev_);
    g_error_answer = true;
    ASSERT_TRUE(start_fast());
    std::vector<uint8_t> buf(kFrameBytes);
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr), 1);
    nivex_cap_stop(&dev_);
}

std::atomic<int> g_slow_calls{0};

void on_ready_slowly(nivex_device *, nivex_frame *) {
    ++g_slow_calls;
    std::this_thread::sleep_for(50ms);
}

TEST_F(CaptureTest, SlowFrameCallbackDoesNotHoldAFetchForever) {
    // The camera sends frames faster than the callback takes them. A fetch of
    // one frame still returns, having handed out no more than was waiting.
    g_slow_calls = 0;
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, on_ready_slowly));
    ASSERT_TRUE(start_fast());
    std::vector<uint8_t> buf(kFrameBytes);
    auto fetch = std::async(std::launch::async, [&] {
        return nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr);
    });
    const bool returned = fetch.wait_for(30s) == std::future_status::ready;
    nivex_cap_stop(&dev_);  // ends a fetch that would not
    EXPECT_TRUE(returned);
    EXPECT_EQ(fetch.get(), 1);
    EXPECT_LE(g_slow_calls.load(), 2 * 10);  // two passes over a 10-frame buffer at most
}

TEST_F(CaptureTest, BoundedWaitEndsWhileFramesKeepComing) {
    // A wait with a time limit returns false at its limit even though every
    // moment brings a new frame to hand out.
    g_slow_calls = 0;
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, on_ready_slowly));
    ASSERT_TRUE(start_fast());
    auto waiter = std::async(std::launch::async, [&] { return nivex_cap_wait(&dev_, 300); });
    const bool returned = waiter.wait_for(30s) == std::future_status::ready;
    nivex_cap_stop(&dev_);  // ends a wait that would not
    EXPECT_TRUE(returned);
    EXPECT_FALSE(waiter.get());
    EXPECT_GT(g_slow_calls.load(), 0);
    EXPECT_TRUE(logged("[nivex_cap_wait]  timeout ...\n"));
}

TEST_F(CaptureTest, SnapshotOnAnIdleDevice) {
    std::vector<uint8_t> buf(kFrameBytes);
    nivex_frame_meta meta{};
    ASSERT_TRUE(nivex_cap_snapshot(&dev_, buf.data(), buf.size(), &meta));
    expect_frames(buf, meta.frame_idx, 1);
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    EXPECT_EQ(cam_.counters().captures_started, 1u);
    EXPECT_EQ(cam_.counters().captures_stopped, 1u);
}

TEST_F(CaptureTest, StopFromAnotherThreadWakesABlockedFetch) {
    cam_.set_frame_rate(1);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(50 * kFrameBytes);
    auto fetch = std::async(std::launch::async, [&] {
        return nivex_cap_get_frames(&dev_, 50, buf.data(), buf.size(), nullptr);
    });
    ASSERT_TRUE(nxtest::eventually([&] { return nxtest::fetch_under_way(&dev_); }));
    // Left alone, the fetch would wait for its 50 frames for about a minute.
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    ASSERT_EQ(fetch.wait_for(20s), std::future_status::ready);
    EXPECT_LT(fetch.get(), 50);
}

TEST_F(CaptureTest, UnplugDuringABlockingFetchEndsItWithAnError) {
    cam_.set_frame_rate(1);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr), 1);
    // The blocked fetch gets no frame before the unplug.
    quiet_the_stream(cam_);
    while (nivex_cap_get_frame(&dev_, buf.data(), buf.size(), nullptr) > 0) {
    }
    auto fetch = std::async(std::launch::async,
                            [&] { return nivex_cap_get_frames(&dev_, 1000, nullptr, 0, nullptr); });
    ASSERT_TRUE(nxtest::eventually([&] { return nxtest::fetch_under_way(&dev_); }));
    // Left alone, the fetch would wait for its 1000 frames for many minutes.
    cam_.unplug();
    ASSERT_EQ(fetch.wait_for(20s), std::future_status::ready);
    int result = fetch.get();
    EXPECT_LT(result, 0);
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr), result);
    nivex_dev_close(&dev_);
    EXPECT_EQ(nxsim::usb_stats().open_handles, 0);
    EXPECT_EQ(nxsim::usb_stats().transfers_allocated, 0);
}

TEST_F(CaptureTest, CloseWhileAnotherThreadWaits) {
    reset_callbacks();
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, on_ready));
    cam_.set_frame_rate(20);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    auto waiter = std::async(std::launch::async, [&] { return nivex_cap_wait(&dev_, 0); });
    ASSERT_TRUE(nxtest::eventually([] { return g_ready_calls.load() >= 2; }));
    // The wait has no limit: only the close can end it.
    nivex_dev_close(&dev_);
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
    EXPECT_EQ(dev_.handle, nullptr);
}

}  // namespace
