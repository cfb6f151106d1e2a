// Capture streaming: queued bulk transfers and their events, frames
// byte-exact, resubmission, stop, stalls, time-outs, failures, an unplug, and
// closing while libusb still holds transfers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include "stream/nx_stream.h"
#include "support/transport_scenarios.h"

namespace nxtest {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using SetupPacket = std::array<uint8_t, 8>;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr size_t kFrameBytes = 307200;  // TI frames: 320 x 240 x 4

struct StreamDeleter {
    void operator()(nx_stream *stream) const { nx_stream_destroy(stream); }
};

class UsbCaptureTest : public TransportTest {
  protected:
    // An open camera streaming as fast as the host reads (0), or at a frame rate.
    ll_device *open_streaming(uint32_t frame_rate = 0) {
        nxsim::CameraConfig config;
        config.product = kProduct;
        fast_ = frame_rate == 0;
        config.frame_rate = fast_ ? 1 : frame_rate;  // see start()
        cam_ = add_camera(config);
        return open(*cam_);
    }

    // A fast camera sends its first frame at the start command and goes flat
    // out once the command has had its answer: streaming from the command on
    // would keep the event thread (and on the real libusb, umockdev) busy
    // while the command's status query waits, which a loaded machine can
    // stretch past the command time-out.
    bool start(ll_device *ll, uint32_t arg = 0) {
        const bool started = nivex_ll_cap_start(ll, arg, CaptureRecorder::callback, &recorder_);
        if (started && fast_) cam_->set_stream_mode(nxsim::StreamMode::Fast);
        return started;
    }

    // All 16 transfers wait on the endpoint and no callback ran for a while:
    // the camera is between two frames.
    bool waiting_for_a_frame() {
        int seen = -1;
        return eventually([&] {
            const int now = recorder_.total();
            const bool quiet = now == seen && rig().transfers_outstanding() == 16;
            seen = now;
            if (!quiet) std::this_thread::sleep_for(50ms);
            return quiet;
        });
    }
    // Every capture transfer is back from libusb and its last callback has
    // returned.
    bool drained(ll_device *ll) {
        return nivex_ll_cap_idle(ll, 20000) &&
               eventually([&] { return rig().transfers_outstanding() == 0; });
    }

    // Events that came with `buffer` after position `from`.
    int events_with(const uint8_t *buffer, size_t from) const {
        auto events = recorder_.events();
        return static_cast<int>(
            std::count_if(events.begin() + static_cast<long>(std::min(from, events.size())),
                          events.end(), [buffer](const auto &e) { return e.buffer == buffer; }));
    }

    // Position of the first event of kind `event`, which must come (a
    // time-out on the real libusb takes libusb's 6 s).
    size_t first(int event) {
        EXPECT_TRUE(eventually([&] { return recorder_.count(event) > 0; }, 30000ms));
        auto events = recorder_.events();
        auto it = std::find_if(events.begin(), events.end(),
                               [event](const auto &e) { return e.event == event; });
        return static_cast<size_t>(it - events.begin());
    }

    // The camera left during the capture: every slot's next submission
    // fails, each transfer that ended with an error and each slot that could
    // not be queued again says so, the stop command has nowhere to go, and
    // the close is clean.
    void expect_ended_by_the_unplug(ll_device *ll) {
        EXPECT_TRUE(eventually(
            [&] { return log_count("ERR", "on_usb_trans_event", "Unable to submit URB") == 16; }));
        EXPECT_TRUE(drained(ll));
        EXPECT_EQ(log_count("ERR", "on_usb_trans_event", "Unable to submit URB"), 16);
        EXPECT_EQ(recorder_.count(LL_CAP_EVT_ERROR),
                  log_count("WRN", "on_usb_trans_event", "error (5)") +
                      log_count("WRN", "on_usb_trans_event", "lost to the capture"));
        EXPECT_FALSE(nivex_ll_cap_stop(ll));
        nivex_ll_dev_close(ll);
        EXPECT_EQ(ll->priv, nullptr);
        EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
    }

    // Stream bytes the camera has handed to the host so far. A camera paced
    // at one frame a second may still send its next frame during a step
    // that a loaded machine stretches; checks that need the stream quiet
    // during the step compare this before and after it.
    uint64_t stream_bytes() const { return cam_->counters().stream_bytes; }

    std::shared_ptr<RigCamera> cam_;
    bool fast_ = false;
    CaptureRecorder recorder_;
    // Outlives the session, whose event thread feeds it.
    std::unique_ptr<nx_stream, StreamDeleter> parser_;
};

TEST_F(UsbCaptureTest, StreamsUntilStoppedAndSendsBothCommands) {
    ll_device *ll = open_streaming();
    cam_->clear_wire_log();
    ASSERT_TRUE(start(ll, 0x01020304));
    EXPECT_EQ(log_count("TRC", "usb_ll_cap_start", "trans[15] issue: txlen=153600"), 1);
    // More completions than transfers: completed transfers are resubmitted.
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 40; }));
    EXPECT_TRUE(cam_->capturing());
    for (auto &e : recorder_.events()) {
        if (e.event == LL_CAP_EVT_DATA) {
            EXPECT_GT(e.len, 0);
        }
    }
    std::set<const uint8_t *> buffers;
    for (auto &e : recorder_.events())
        buffers.insert(e.buffer);
    EXPECT_EQ(buffers.size(), 16u);

    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_TRUE(drained(ll));
    const int after_stop = recorder_.total();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder_.total(), after_stop);  // nothing was resubmitted
    EXPECT_FALSE(cam_->capturing());

    auto sent = commands_of(*cam_);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].setup(), (SetupPacket{0x22, 0xC2, 4, 0, 0, 0, 4, 0}));
    EXPECT_EQ(sent[0].data, (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(sent[1].setup(), (SetupPacket{0x22, 0xC2, 5, 0, 0, 0, 1, 0}));
    EXPECT_EQ(sent[1].data, (Bytes{0xC2}));
}

// The event thread re-frames the stream and checks each frame as it
// completes, so the check paces the camera and no frame is lost to it.
TEST_F(UsbCaptureTest, HundredsOfFramesArriveByteExact) {
    ll_device *ll = open_streaming();
    nx_stream_cfg cfg{4};
    parser_.reset(nx_stream_create(&cfg));
    std::atomic<int> exact{0};
    std::atomic<int> wrong{0};
    recorder_.hook = [&, parser = parser_.get(), frame = std::vector<uint8_t>(kFrameBytes),
                      next = uint16_t{0}](ll_device *, const CaptureRecorder::Event &e) mutable {
        if (e.event != LL_CAP_EVT_DATA) return;
        nx_stream_feed_input(parser, e.buffer, static_cast<size_t>(e.len));
        nx_stream_frame_info info{};
        while (nx_stream_fetch_frames(parser, frame.data(), frame.size(), 1, &info, false) == 1) {
            const bool same = info.fridx == next && info.frlen == kFrameBytes &&
                              frame == nxsim::expected_frame(kProduct, next);
            ++(same ? exact : wrong);
            ++next;
        }
    };
    ASSERT_TRUE(start(ll));
    EXPECT_TRUE(eventually([&] { return exact.load() + wrong.load() >= 300; }, 120000ms));
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_GE(exact.load(), 300);
    EXPECT_EQ(wrong.load(), 0);
    nx_stream_state state{};
    nx_stream_get_state(parser_.get(), &state);
    EXPECT_EQ(state.frames_discarded, 0u);
    EXPECT_EQ(state.bytes_skipped, 0u);
    EXPECT_TRUE(eventually([&] { return rig().transfers_outstanding() == 0; }));
    EXPECT_FALSE(cam_->capturing());
}

TEST_F(UsbCaptureTest, StopCancelsEveryQueuedTransfer) {
    ll_device *ll = open_streaming(1);
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.total() > 0; }));
    ASSERT_TRUE(waiting_for_a_frame());
    const uint64_t bytes_before = stream_bytes();
    const size_t before = recorder_.events().size();
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    ASSERT_TRUE(drained(ll));
    // One cancellation per transfer, whatever else came meanwhile.
    auto events = recorder_.events();
    std::set<const uint8_t *> cancelled;
    for (size_t i = before; i < events.size(); ++i) {
        if (events[i].event == LL_CAP_EVT_CANCELLED) cancelled.insert(events[i].buffer);
    }
    EXPECT_EQ(cancelled.size(), 16u);
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_CANCELLED), 16);
    if (stream_bytes() == bytes_before) {
        // No frame came meanwhile: the cancellations are all there was.
        ASSERT_EQ(events.size() - before, 16u);
        for (size_t i = before; i < events.size(); ++i)
            EXPECT_EQ(events[i].event, LL_CAP_EVT_CANCELLED);
    }
}

TEST_F(UsbCaptureTest, TimedOutTransferDeliversWhatArrivedAndIsResubmitted) {
    ll_device *ll = open_streaming();
    cam_->inject_bulk_timeout(1000);
    ASSERT_TRUE(start(ll));
    const size_t at = first(LL_CAP_EVT_TIMEOUT);
    const CaptureRecorder::Event timeout = recorder_.events()[at];
    EXPECT_GT(timeout.len, 0);
    EXPECT_LE(timeout.len, 1000);
    // Where it ends only at libusb's time-out, it has had all its bytes;
    // ended at a pause, fewer when the camera had less to send just then.
    if (!rig().timed_out_transfer_ends_at_a_pause()) {
        EXPECT_EQ(timeout.len, 1000);
    }
    const std::string last_tx = "timeout (last_tx=" + std::to_string(timeout.len) + ")";
    EXPECT_TRUE(eventually([&] { return events_with(timeout.buffer, at + 1) > 0; }));
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_EQ(log_count("DBG", "on_usb_trans_event", last_tx), 1);
}

TEST_F(UsbCaptureTest, StallIsClearedAndTheTransferResubmitted) {
    ll_device *ll = open_streaming();
    cam_->inject_stall(1);
    ASSERT_TRUE(start(ll));
    const size_t at = first(LL_CAP_EVT_STALL);
    const uint8_t *stalled = recorder_.events()[at].buffer;
    // Data keeps coming, on the stalled slot too: the halt was cleared.
    EXPECT_TRUE(eventually([&] { return events_with(stalled, at + 1) > 0; }));
    EXPECT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 32; }));
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_STALL), 1);
    EXPECT_EQ(cam_->faults().stalls, 1u);
    EXPECT_EQ(log_count("WRN", "on_usb_trans_event", "stall"), 1);
    EXPECT_EQ(log_count("ERR", "on_usb_trans_event", "Clear halt failed"), 0);
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
}

TEST_F(UsbCaptureTest, AbortFromTheCallbackStopsThatVeryTransfer) {
    ll_device *ll = open_streaming();
    std::atomic<const uint8_t *> aborted{nullptr};
    recorder_.hook = [&](ll_device *dev, const CaptureRecorder::Event &e) {
        if (e.event == LL_CAP_EVT_DATA && aborted.load() == nullptr) {
            aborted.store(e.buffer);
            nivex_ll_cap_abort(dev);
        }
    };
    ASSERT_TRUE(start(ll));
    // No transfer is resubmitted any more, so all 16 drain by themselves.
    ASSERT_TRUE(drained(ll));
    EXPECT_LE(recorder_.total(), 16);
    EXPECT_EQ(events_with(aborted.load(), 0), 1);
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
}

TEST_F(UsbCaptureTest, CommandsFromTheEventThreadAreRefusedAtOnce) {
    ll_device *ll = open_streaming();
    std::atomic<int> result{-1};
    recorder_.hook = [&](ll_device *dev, const CaptureRecorder::Event &) {
        if (result.load() != -1) return;
        const uint32_t value = 1;
        result.store(nivex_ll_reg_write(dev, 1, 0, &value, 1) ? 1 : 0);
        nivex_ll_dev_close(dev);  // would join its own thread
    };
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return result.load() != -1; }));
    EXPECT_EQ(result.load(), 0);
    EXPECT_NE(ll->priv, nullptr);
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_EQ(log_count("ERR", "usb_ll_exe_cmd", "refused on the event thread"), 1);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", "refused on the event thread"), 1);
}

TEST_F(UsbCaptureTest, FailedStartCommandCancelsEverything) {
    ll_device *ll = open_streaming();
    cam_->inject_hang(0xC2, 0);  // the start command gets no answer
    ASSERT_FALSE(start(ll));
    EXPECT_EQ(log_count("WRN", "usb_ll_cap_start", "nivex_ll_cap_start failed"), 1);
    ASSERT_TRUE(drained(ll));
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_CANCELLED), 16);
    EXPECT_EQ(recorder_.total(), 16);
}

TEST_F(UsbCaptureTest, RejectedStartCommandStopsResubmission) {
    ll_device *ll = open_streaming();
    // The camera reports an error, yet streams: nothing may be resubmitted.
    cam_->inject_error("no sensor", 0xC2);
    ASSERT_FALSE(start(ll));
    EXPECT_EQ(log_count("ERR", "usb_ll_check_last_cmd", "no sensor"), 1);
    ASSERT_TRUE(drained(ll));
    const int total = recorder_.total();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder_.total(), total);
}

TEST_F(UsbCaptureTest, RestartAfterStopReusesEveryTransfer) {
    ll_device *ll = open_streaming();
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 16; }));
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    // Straight away: some cancellations may still be on their way.
    const int before = recorder_.count(LL_CAP_EVT_DATA);
    ASSERT_TRUE(start(ll));
    EXPECT_EQ(log_count("ERR", "usb_ll_cap_start", "issue failed"), 0);
    EXPECT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > before + 16; }));
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
}

// Every queued transfer ends with "device gone" and every resubmission fails.
TEST_F(UsbCaptureTest, UnplugDuringCaptureEndsInACleanClose) {
    ll_device *ll = open_streaming(1);
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.total() > 0; }));
    ASSERT_TRUE(waiting_for_a_frame());
    const uint64_t bytes_before = stream_bytes();
    cam_->unplug();
    expect_ended_by_the_unplug(ll);
    // No frame came meanwhile: all 16 were waiting when the camera left.
    if (stream_bytes() == bytes_before) {
        EXPECT_EQ(recorder_.count(LL_CAP_EVT_ERROR), 16);
    }
}

// The camera leaves in the middle of a frame: transfers in flight end with
// an error event, and every slot's next submission fails.
TEST_F(UsbCaptureTest, UnplugWhileFramesStreamEndsInACleanClose) {
    ll_device *ll = open_streaming();
    ASSERT_TRUE(start(ll));
    // Armed once streaming, so that the start command has had its answer.
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 0; }));
    cam_->unplug_after_frames(2);
    expect_ended_by_the_unplug(ll);
}

TEST_F(UsbCaptureTest, CloseRightAfterStopWaitsForTheCancellations) {
    ll_device *ll = open_streaming();
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 0; }));
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    nivex_ll_dev_close(ll);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
}

TEST_F(UsbCaptureTest, CloseDuringCaptureCancelsAndDrains) {
    ll_device *ll = open_streaming(1);
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.total() > 0; }));
    ASSERT_TRUE(waiting_for_a_frame());
    const uint64_t bytes_before = stream_bytes();
    nivex_ll_dev_close(ll);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(rig().transfers_outstanding(), 0);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
    // No frame came meanwhile: all 16 were waiting, and each was cancelled.
    if (stream_bytes() == bytes_before) {
        EXPECT_EQ(recorder_.count(LL_CAP_EVT_CANCELLED), 16);
    }
}

}  // namespace
}  // namespace nxtest
