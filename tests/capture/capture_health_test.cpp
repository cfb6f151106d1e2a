// The stream health counters against the simulated camera's faults: each
// counter moves when its fault strikes and stays put otherwise; what the
// call does before a capture, across restarts, after an unplug, on a closed
// device and for records of other sizes.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "support/ll_support.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using nxtest::eventually;
using nxtest::SimTest;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr uint32_t kFrameBytes = 307200;  // TI frames: 320 x 240 x 4
constexpr uint32_t kBufferFrames = 10;

uint64_t wall_usec() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

class CaptureHealthTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = add_camera(kProduct);
        ASSERT_EQ(open_first(), &dev_);
        set_buffer(kBufferFrames);
    }

    void set_buffer(uint32_t frames) {
        ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, frames * NIVEX_FRAME_SLOT_SIZE));
    }

    nivex_cap_health health() {
        nivex_cap_health h{};
        h.struct_size = sizeof h;
        EXPECT_TRUE(nivex_cap_get_health(&dev_, &h));
        EXPECT_EQ(h.struct_size, sizeof h);
        return h;
    }

    // Starts with one frame a second, then lets the camera go flat out (see
    // the capture tests: a busy stream during the start command can stretch
    // it past its time-out on a loaded machine).
    void start_fast() {
        cam_.set_frame_rate(1);
        cam_.set_stream_mode(nxsim::StreamMode::FrameRate);
        ASSERT_TRUE(nivex_cap_start(&dev_));
        cam_.set_stream_mode(nxsim::StreamMode::Fast);
    }

    // Fetches frames until `done` holds (generous limit); false when it never did.
    bool fetch_until(const std::function<bool(const nivex_cap_health &)> &done) {
        std::vector<uint8_t> buf(kFrameBytes);
        return eventually(
            [&] {
                nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr);
                return done(health());
            },
            30000ms);
    }

    static void expect_transfer_faults(const nivex_cap_health &h, uint32_t timeouts,
                                       uint32_t stalls) {
        EXPECT_EQ(h.transfer_timeouts, timeouts);
        EXPECT_EQ(h.transfer_stalls, stalls);
        EXPECT_EQ(h.transfer_errors, 0u);
    }
    static void expect_no_transfer_faults(const nivex_cap_health &h) {
        expect_transfer_faults(h, 0, 0);
    }
    static void expect_no_discards(const nivex_cap_health &h) {
        EXPECT_EQ(h.frames_bad_checksum, 0u);
        EXPECT_EQ(h.frames_broken, 0u);
    }
    // Nothing has reached the capture's counters yet.
    static void expect_fresh_capture(const nivex_cap_health &h) {
        EXPECT_EQ(h.frames_delivered, 0u);
        EXPECT_EQ(h.bytes_received, 0u);
        EXPECT_EQ(h.link_bytes_per_sec, 0u);
        EXPECT_EQ(h.buffer_peak, 0u);
        expect_no_transfer_faults(h);
        expect_no_discards(h);
    }

    nxsim::Camera cam_;
};

TEST_F(CaptureHealthTest, BeforeTheFirstCaptureOnlyLinkAndBufferAreKnown) {
    nivex_cap_health h = health();
    EXPECT_EQ(h.capturing, 0u);
    EXPECT_EQ(h.captures, 0u);
    EXPECT_EQ(h.capture_usec, 0u);
    EXPECT_EQ(h.last_error, 0);
    EXPECT_EQ(h.last_error_usec, 0u);
    expect_fresh_capture(h);
    EXPECT_EQ(h.usb_speed, cam_.speed());
    EXPECT_EQ(h.buffer_frames, kBufferFrames);
}

TEST_F(CaptureHealthTest, HealthyStreamCountsFramesAndBytesOnly) {
    // Two frames a second: the camera drops none however slowly a loaded
    // machine fetches, and the buffer never overflows.
    cam_.set_frame_rate(2);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> buf(5 * kFrameBytes);
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 5, buf.data(), buf.size(), nullptr), 5);
    nivex_cap_health h = health();
    EXPECT_EQ(h.capturing, 1u);
    EXPECT_EQ(h.captures, 1u);
    EXPECT_EQ(h.frames_delivered, 5u);
    EXPECT_GE(h.bytes_received, 5u * kFrameBytes);
    EXPECT_LE(h.bytes_received, cam_.counters().stream_bytes);
    EXPECT_GT(h.capture_usec, 0u);
    EXPECT_EQ(h.frames_overflowed, 0u);
    EXPECT_EQ(h.last_error, 0);
    expect_no_transfer_faults(h);
    expect_no_discards(h);
    EXPECT_GE(h.buffer_peak, 1u);
    EXPECT_LE(h.buffer_peak, kBufferFrames);
    EXPECT_TRUE(eventually([&] { return health().link_bytes_per_sec > 0; }, 30000ms));
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    h = health();
    EXPECT_EQ(h.capturing, 0u);
    EXPECT_EQ(h.frames_delivered, 5u);  // kept until the next start
}

TEST_F(CaptureHealthTest, LinkRateFollowsTheStreamAndFallsWhenItDriesUp) {
    constexpr uint64_t kLinkRate = 8'000'000;
    cam_.set_link_rate(kLinkRate);
    start_fast();
    std::vector<uint8_t> buf(kFrameBytes);
    EXPECT_TRUE(fetch_until([](const nivex_cap_health &h) {
        return h.link_bytes_per_sec > kLinkRate / 4 && h.link_bytes_per_sec < kLinkRate * 2;
    }));
    // The link stops moving bytes: within a few windows the rate is down.
    cam_.set_link_rate(1);
    EXPECT_TRUE(eventually([&] { return health().link_bytes_per_sec < kLinkRate / 100; }, 30000ms));
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, TimeoutsAreCountedWithTheirTime) {
    cam_.set_frame_rate(5);
    const uint64_t before = wall_usec();
    cam_.inject_bulk_timeout(3, 1000);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    EXPECT_TRUE(fetch_until([](const nivex_cap_health &h) { return h.transfer_timeouts >= 3; }));
    const nivex_cap_health h = health();
    expect_transfer_faults(h, 3, 0);
    EXPECT_EQ(h.last_error, NIVEX_ERR_CAP_TIMEOUT);
    EXPECT_GE(h.last_error_usec, before);
    EXPECT_LE(h.last_error_usec, wall_usec());
    // A time-out loses no stream bytes: no frame was damaged by it.
    expect_no_discards(h);
    EXPECT_EQ(h.capturing, 1u);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, StallsAreCounted) {
    cam_.set_frame_rate(5);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    cam_.inject_stall(2);
    EXPECT_TRUE(fetch_until([](const nivex_cap_health &h) { return h.transfer_stalls >= 2; }));
    const nivex_cap_health h = health();
    expect_transfer_faults(h, 0, 2);
    EXPECT_EQ(h.last_error, NIVEX_ERR_CAP_STALL);
    EXPECT_EQ(h.capturing, 1u);  // two stalls do not end a capture
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, CorruptedPayloadCountsAsBadChecksum) {
    cam_.inject_corruption(2e-6);
    start_fast();
    EXPECT_TRUE(fetch_until([](const nivex_cap_health &h) { return h.frames_bad_checksum > 0; }));
    const nivex_cap_health h = health();
    EXPECT_EQ(h.last_error, NIVEX_ERR_CAP_FRAME_DISCARD);
    EXPECT_GT(h.bytes_skipped, 0u);
    expect_no_transfer_faults(h);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, LostChunksCountAsBrokenFrames) {
    cam_.set_frame_rate(5);
    cam_.drop_next_chunks(1);  // the first frame misses a chunk
    ASSERT_TRUE(nivex_cap_start(&dev_));
    EXPECT_TRUE(fetch_until([](const nivex_cap_health &h) { return h.frames_broken > 0; }));
    const nivex_cap_health h = health();
    EXPECT_EQ(h.frames_bad_checksum, 0u);
    EXPECT_EQ(h.last_error, NIVEX_ERR_CAP_FRAME_DISCARD);
    expect_no_transfer_faults(h);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, SlowFetcherOverflowsAtTheBufferSize) {
    set_buffer(3);
    start_fast();
    // Nobody fetches: the buffer fills and then overflows, which is no fault.
    EXPECT_TRUE(eventually([&] { return health().frames_overflowed > 0; }, 30000ms));
    nivex_cap_health h = health();
    EXPECT_EQ(h.buffer_frames, 3u);
    EXPECT_EQ(h.buffer_peak, 3u);
    EXPECT_EQ(h.buffer_fill, 3u);
    EXPECT_EQ(h.frames_delivered, 0u);
    EXPECT_EQ(h.last_error, 0);
    expect_no_discards(h);
    std::vector<uint8_t> buf(kFrameBytes);
    ASSERT_EQ(nivex_cap_get_frame(&dev_, buf.data(), buf.size(), nullptr), 1);
    h = health();
    EXPECT_EQ(h.frames_delivered, 1u);
    EXPECT_EQ(h.buffer_peak, 3u);
    EXPECT_LE(h.buffer_fill, 3u);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, RestartClearsCaptureCountersAndKeepsTheLastError) {
    cam_.set_frame_rate(5);
    cam_.inject_bulk_timeout(1);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    ASSERT_TRUE(fetch_until([](const nivex_cap_health &h) {
        return h.transfer_timeouts == 1 && h.frames_delivered > 0;
    }));
    const nivex_cap_health first = health();
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    // The second capture brings no whole transfer before it is read.
    cam_.set_link_rate(1);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    const nivex_cap_health h = health();
    EXPECT_EQ(h.captures, 2u);
    expect_fresh_capture(h);
    EXPECT_EQ(h.last_error, NIVEX_ERR_CAP_TIMEOUT);
    EXPECT_EQ(h.last_error_usec, first.last_error_usec);
    nivex_cap_stop(&dev_);
}

TEST_F(CaptureHealthTest, UnpluggedCameraLeavesTheCountersReadable) {
    cam_.set_frame_rate(5);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    cam_.unplug_after_frames(2);
    EXPECT_TRUE(fetch_until([](const nivex_cap_health &h) { return h.capturing == 0; }));
    const nivex_cap_health h = health();
    EXPECT_GT(h.transfer_errors, 0u);
    EXPECT_EQ(h.last_error, NIVEX_ERR_CAP_UNKNOWN);
    EXPECT_GT(h.bytes_received, 0u);
    nivex_cap_stop(&dev_);
    EXPECT_EQ(health().last_error, NIVEX_ERR_CAP_UNKNOWN);  // readable after the stop too
    nivex_dev_close(&dev_);
    nivex_cap_health closed;
    std::memset(&closed, 0xEE, sizeof closed);
    closed.struct_size = sizeof closed;
    EXPECT_FALSE(nivex_cap_get_health(&dev_, &closed));
    EXPECT_EQ(closed.captures, 0xEEEEEEEEu);  // untouched
}

TEST_F(CaptureHealthTest, RecordIsFilledUpToTheCallersSize) {
    struct Larger {
        nivex_cap_health health;
        uint8_t more[16];
    };
    Larger big{};
    std::memset(&big, 0xAB, sizeof big);
    big.health.struct_size = sizeof big;
    ASSERT_TRUE(nivex_cap_get_health(&dev_, &big.health));
    EXPECT_EQ(big.health.struct_size, sizeof(nivex_cap_health));
    EXPECT_EQ(big.health.buffer_frames, kBufferFrames);
    for (uint8_t byte : big.more)
        EXPECT_EQ(byte, 0xAB);

    // An older, shorter record: nothing beyond it is written.
    nivex_cap_health small{};
    std::memset(&small, 0xCD, sizeof small);
    constexpr uint32_t kOlderSize = offsetof(nivex_cap_health, frames_overflowed);
    small.struct_size = kOlderSize;
    ASSERT_TRUE(nivex_cap_get_health(&dev_, &small));
    EXPECT_EQ(small.struct_size, kOlderSize);
    EXPECT_EQ(small.capturing, 0u);
    EXPECT_EQ(small.frames_delivered, 0u);
    const auto *bytes = reinterpret_cast<const uint8_t *>(&small);
    for (size_t i = kOlderSize; i < sizeof small; ++i)
        ASSERT_EQ(bytes[i], 0xCD) << "byte " << i;

    nivex_cap_health tiny{};
    tiny.struct_size = 4;
    EXPECT_FALSE(nivex_cap_get_health(&dev_, &tiny));
    EXPECT_FALSE(nivex_cap_get_health(&dev_, nullptr));
    nivex_cap_health h{};
    h.struct_size = sizeof h;
    EXPECT_FALSE(nivex_cap_get_health(nullptr, &h));
    nivex_device never_opened{};
    EXPECT_FALSE(nivex_cap_get_health(&never_opened, &h));
}

TEST_F(CaptureHealthTest, ReadersOnOtherThreadsSeeCountersOnlyGrow) {
    cam_.set_frame_rate(20);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::atomic<bool> done{false};
    std::atomic<int> regressions{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            nivex_cap_health last{};
            while (!done.load()) {
                nivex_cap_health h{};
                h.struct_size = sizeof h;
                if (!nivex_cap_get_health(&dev_, &h)) continue;
                if (h.frames_delivered < last.frames_delivered ||
                    h.bytes_received < last.bytes_received || h.buffer_peak < last.buffer_peak ||
                    h.buffer_fill > h.buffer_frames) {
                    ++regressions;
                }
                last = h;
                ++reads;
            }
        });
    }
    std::vector<uint8_t> buf(kFrameBytes);
    for (int i = 0; i < 10; ++i)
        ASSERT_GE(nivex_cap_get_frames(&dev_, 1, buf.data(), buf.size(), nullptr), 0);
    ASSERT_TRUE(eventually([&] { return reads.load() > 100; }, 30000ms));
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(regressions.load(), 0);
    nivex_cap_stop(&dev_);
}

}  // namespace
