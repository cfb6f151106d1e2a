// The capture engine under faults and several threads: fetches of two
// threads, a capture that a transfer error ended, bytes that came with a
// failed transfer, and a restart while transfers are still on their way.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <vector>

#include "support/ll_support.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using nxtest::eventually;
using nxtest::SimTest;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr uint32_t kFrameBytes = 307200;

class CaptureThreadsTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = add_camera(kProduct);
        ASSERT_EQ(open_first(), &dev_);
        ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 10 * NIVEX_FRAME_SLOT_SIZE));
    }

    nivex_cap_stats stats() {
        nivex_cap_stats s{};
        EXPECT_TRUE(nivex_cap_get_stats(&dev_, &s));
        return s;
    }

    static bool is_frame(const uint8_t *data, uint32_t idx) {
        std::vector<uint8_t> want = nxsim::expected_frame(kProduct, idx);
        return std::memcmp(data, want.data(), want.size()) == 0;
    }

    nxsim::Camera cam_;
};

TEST_F(CaptureThreadsTest, TwoFetchingThreadsGetWholeFramesAndLoseNone) {
    cam_.set_frame_rate(100);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    constexpr int kEach = 25;
    std::mutex mutex;
    std::vector<uint32_t> seen;
    auto fetcher = [&] {
        std::vector<uint8_t> buf(kFrameBytes);
        int bad = 0;
        for (int got = 0; got < kEach;) {
            nivex_frame_meta meta{};
            int n = nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &meta);
            if (n < 0) return -1000;
            if (n == 0) continue;
            got += n;
            if (!is_frame(buf.data(), meta.frame_idx)) ++bad;
            std::lock_guard lock(mutex);
            seen.push_back(meta.frame_idx);
        }
        return bad;
    };
    auto a = std::async(std::launch::async, fetcher);
    auto b = std::async(std::launch::async, fetcher);
    EXPECT_EQ(a.get(), 0);
    EXPECT_EQ(b.get(), 0);
    nivex_cap_stats s = stats();
    nivex_cap_stop(&dev_);
    ASSERT_EQ(seen.size(), 2u * kEach);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "a frame twice";
    // Every frame the camera sent and the parser kept went to one of the two.
    const uint32_t gaps = seen.back() - seen.front() + 1 - static_cast<uint32_t>(seen.size());
    EXPECT_LE(gaps, s.frames_overflowed + cam_.counters().frames_dropped);
    EXPECT_EQ(s.frames_discarded, 0u);
}

std::atomic<int> g_nested_result{0};

void fetch_inside_callback(nivex_device *dev, nivex_frame *) {
    uint32_t dummy = 0;
    g_nested_result = nivex_cap_get_frame(dev, &dummy, sizeof dummy, nullptr);
}

TEST_F(CaptureThreadsTest, AFetchFromInsideACallbackIsRefused) {
    g_nested_result = 0;
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, fetch_inside_callback));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 1);
    EXPECT_EQ(g_nested_result.load(), NIVEX_ERR_WRONG_PARAMS);
    nivex_cap_stop(&dev_);
}

std::atomic<bool> g_go_on{true};
std::atomic<int> g_errors_seen{0};

bool count_error(nivex_device *, int, uint32_t) {
    ++g_errors_seen;
    return g_go_on.load();
}

TEST_F(CaptureThreadsTest, AnUnpluggedCaptureEndsEveryFetchWithItsErrorNotWithZero) {
    // With and without an error callback, whatever it answers: once the
    // frames sent before the unplug are out, every fetch says how the
    // capture ended, and the capture is no longer ongoing.
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        nxsim::reset();
        cam_ = add_camera(kProduct);
        ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
        ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 10 * NIVEX_FRAME_SLOT_SIZE));
        g_go_on = variant == 1;
        g_errors_seen = 0;
        ASSERT_TRUE(nivex_cap_set_callback_on_error(&dev_, variant == 2 ? nullptr : count_error));
        cam_.set_frame_rate(200);
        ASSERT_TRUE(nivex_cap_start(&dev_));
        cam_.unplug_after_frames(5);  // not before the start had its answer
        std::vector<uint8_t> buf(kFrameBytes);
        int result = 0, fetches = 0;
        for (; fetches < 100 && result >= 0; ++fetches)
            result = nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr);
        EXPECT_EQ(result, NIVEX_ERR_CAP_UNKNOWN);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), result);
        EXPECT_EQ(nivex_cap_get_frame(&dev_, buf.data(), kFrameBytes, nullptr), result);
        EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
        if (variant != 2) {
            EXPECT_EQ(g_errors_seen.load(), 1);
        }
        nivex_cap_stop(&dev_);
        nivex_dev_close(&dev_);
    }
}

TEST_F(CaptureThreadsTest, AnUnplugBetweenTwoTransfersStillEndsTheCapture) {
    // Flat out over an unlimited link, transfers complete all the time: the
    // unplug mostly finds some completed and about to be queued again, and
    // those fail to queue instead of ending with an error. The capture must
    // still end with the unplug error, not go quiet.
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        nxsim::reset();
        nxsim::CameraConfig config;
        config.product = kProduct;
        config.link_rate = nxsim::kUnlimitedLink;
        cam_ = nxsim::add_camera(config);
        ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
        ASSERT_TRUE(nivex_cap_start(&dev_));
        cam_.set_stream_mode(nxsim::StreamMode::Fast);
        std::vector<uint8_t> buf(kFrameBytes);
        ASSERT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 1);
        cam_.unplug();
        int result = 0;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (result >= 0 && std::chrono::steady_clock::now() < until)
            result = nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr);
        EXPECT_EQ(result, NIVEX_ERR_CAP_UNKNOWN);
        nivex_cap_stop(&dev_);
        nivex_dev_close(&dev_);
    }
}

TEST_F(CaptureThreadsTest, BytesOfATimedOutTransferAreKept) {
    // One frame a second: however slowly a loaded machine reads, the camera
    // drops none of them (it holds four) and the frame buffer takes them all.
    cam_.set_frame_rate(1);
    cam_.inject_bulk_timeout(1, 1000);  // the first transfer times out after 1000 bytes
    ASSERT_TRUE(nivex_cap_start(&dev_));
    constexpr int kFrames = 4;
    std::vector<uint8_t> buf(kFrames * kFrameBytes);
    nivex_frame_meta first{};
    ASSERT_EQ(nivex_cap_get_frames(&dev_, kFrames, buf.data(), buf.size(), &first), kFrames);
    EXPECT_EQ(cam_.faults().timeouts, 1u);
    EXPECT_EQ(first.frame_idx, 0u);  // the frame the time-out cut through is there
    for (int i = 0; i < kFrames; ++i)
        EXPECT_TRUE(is_frame(buf.data() + static_cast<size_t>(i) * kFrameBytes, i)) << i;
    // Nothing was thrown away but whole frames nobody fetched in time.
    const nivex_cap_stats s = stats();
    EXPECT_EQ(s.frames_discarded, 0u);
    EXPECT_EQ(s.bytes_skipped, s.frames_overflowed * kFrameBytes);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureThreadsTest, NoRestartWhileTheLastCapturesTransfersAreOutstanding) {
    // Cancelled stream transfers come back only after 10 s: the stop gives up
    // waiting for them (after 2 s), and so does the start that follows (after
    // 2 s more), which must not reset the parser they would still feed. The
    // margin is for a loaded machine.
    cam_.delay_bulk_cancel(10000);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(kFrameBytes);
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr), 1);
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    EXPECT_GT(nxsim::usb_stats().transfers_in_flight, 0);
    EXPECT_FALSE(nivex_cap_start(&dev_));
    EXPECT_TRUE(logged("[_nivex_cap_start] transfers of the last capture are still outstanding\n"));
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    ASSERT_TRUE(eventually([] { return nxsim::usb_stats().transfers_in_flight == 0; }, 30000ms));
    cam_.delay_bulk_cancel(0);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    nivex_frame_meta first{};
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &first), 1);
    EXPECT_EQ(first.frame_idx, 0u);
    EXPECT_TRUE(is_frame(buf.data(), 0));
    nivex_cap_stop(&dev_);
}

}  // namespace
