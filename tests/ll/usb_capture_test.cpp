// Capture streaming: queued bulk transfers, their events, resubmission,
// stop, failures, and closing while libusb still holds transfers.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "usb_fixture.h"

namespace nxtest {
namespace {

using Bytes = std::vector<uint8_t>;
using SetupPacket = std::array<uint8_t, 8>;

class UsbCaptureTest : public UsbTest {
  protected:
    // An open camera streaming as fast as the host reads.
    ll_device *open_streaming(uint32_t frame_rate = 0) {
        nxsim::CameraConfig config;
        if (frame_rate == 0) {
            config.mode = nxsim::StreamMode::Fast;
        } else {
            config.frame_rate = frame_rate;
        }
        cam_ = nxsim::add_camera(config);
        return open(cam_);
    }

    bool start(ll_device *ll, uint32_t arg = 0) {
        return nivex_ll_cap_start(ll, arg, CaptureRecorder::callback, &recorder_);
    }

    static int in_flight() { return nxsim::usb_stats().transfers_in_flight; }

    // libusb holds `queued` transfers and no callback has run for a while:
    // with 0, every transfer is back and its last callback done (a transfer
    // stops counting as in flight just before its callback); with 16, all
    // transfers wait on the endpoint for the camera's next frame.
    bool settled(int queued) {
        int seen = -1;
        return eventually([&] {
            const int now = recorder_.total();
            const bool quiet = now == seen && in_flight() == queued;
            seen = now;
            if (!quiet) std::this_thread::sleep_for(50ms);
            return quiet;
        });
    }
    bool drained() { return settled(0); }

    // Events that came with `buffer` after position `from`.
    int events_with(const uint8_t *buffer, size_t from) const {
        auto events = recorder_.events();
        return static_cast<int>(
            std::count_if(events.begin() + static_cast<long>(std::min(from, events.size())),
                          events.end(), [buffer](const auto &e) { return e.buffer == buffer; }));
    }

    nxsim::Camera cam_;
    CaptureRecorder recorder_;
};

TEST_F(UsbCaptureTest, StreamsUntilStoppedAndSendsBothCommands) {
    ll_device *ll = open_streaming();
    cam_.clear_wire_log();
    ASSERT_TRUE(start(ll, 0x01020304));
    EXPECT_EQ(log_count("TRC", "usb_ll_cap_start", "trans[15] issue: txlen=153600"), 1);
    // More completions than transfers: completed transfers are resubmitted.
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 40; }));
    EXPECT_TRUE(cam_.capturing());
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
    EXPECT_TRUE(drained());
    const int after_stop = recorder_.total();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder_.total(), after_stop);  // nothing was resubmitted
    EXPECT_FALSE(cam_.capturing());

    auto sent = commands_of(cam_);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].setup(), (SetupPacket{0x22, 0xC2, 4, 0, 0, 0, 4, 0}));
    EXPECT_EQ(sent[0].data, (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(sent[1].setup(), (SetupPacket{0x22, 0xC2, 5, 0, 0, 0, 1, 0}));
    EXPECT_EQ(sent[1].data, (Bytes{0xC2}));
}

TEST_F(UsbCaptureTest, StopCancelsEveryQueuedTransfer) {
    ll_device *ll = open_streaming(1);
    ASSERT_TRUE(start(ll));
    // Between two frames all 16 transfers wait on the endpoint.
    ASSERT_TRUE(eventually([&] { return recorder_.total() > 0; }));
    ASSERT_TRUE(settled(16));
    const size_t before = recorder_.events().size();
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    ASSERT_TRUE(drained());
    auto events = recorder_.events();
    ASSERT_EQ(events.size() - before, 16u);
    for (size_t i = before; i < events.size(); ++i) {
        EXPECT_EQ(events[i].event, LL_CAP_EVT_CANCELLED);
    }
}

TEST_F(UsbCaptureTest, TimedOutTransferDeliversWhatArrivedAndIsResubmitted) {
    ll_device *ll = open_streaming();
    cam_.inject_bulk_timeout(1, 1000);
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_TIMEOUT) == 1; }));
    auto events = recorder_.events();
    auto timeout = std::find_if(events.begin(), events.end(),
                                [](const auto &e) { return e.event == LL_CAP_EVT_TIMEOUT; });
    // At most 1000 bytes: fewer when the camera had less to send just then.
    EXPECT_GT(timeout->len, 0);
    EXPECT_LE(timeout->len, 1000);
    const std::string last_tx = "timeout (last_tx=" + std::to_string(timeout->len) + ")";
    const size_t at = static_cast<size_t>(timeout - events.begin());
    EXPECT_TRUE(eventually([&] { return events_with(timeout->buffer, at + 1) > 0; }));
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_EQ(log_count("DBG", "on_usb_trans_event", last_tx), 1);
}

TEST_F(UsbCaptureTest, StallIsClearedAndTheTransferResubmitted) {
    ll_device *ll = open_streaming();
    cam_.inject_stall(1);
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_STALL) == 1; }));
    auto events = recorder_.events();
    auto stall = std::find_if(events.begin(), events.end(),
                              [](const auto &e) { return e.event == LL_CAP_EVT_STALL; });
    const size_t at = static_cast<size_t>(stall - events.begin());
    // Data keeps coming, on the stalled slot too: the halt was cleared.
    EXPECT_TRUE(eventually([&] { return events_with(stall->buffer, at + 1) > 0; }));
    EXPECT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 32; }));
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_STALL), 1);
    EXPECT_EQ(cam_.faults().stalls, 1u);
    EXPECT_EQ(log_count("WRN", "on_usb_trans_event", "stall"), 1);
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
    ASSERT_TRUE(drained());
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
    cam_.inject_hang(1, 0xC2);  // the start command gets no answer
    ASSERT_FALSE(start(ll));
    EXPECT_EQ(log_count("WRN", "usb_ll_cap_start", "nivex_ll_cap_start failed"), 1);
    ASSERT_TRUE(drained());
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_CANCELLED), 16);
    EXPECT_EQ(recorder_.total(), 16);
}

TEST_F(UsbCaptureTest, RejectedStartCommandStopsResubmission) {
    ll_device *ll = open_streaming();
    // The camera reports an error, yet streams: nothing may be resubmitted.
    cam_.inject_error("no sensor", 0xC2);
    ASSERT_FALSE(start(ll));
    EXPECT_EQ(log_count("ERR", "usb_ll_check_last_cmd", "no sensor"), 1);
    ASSERT_TRUE(drained());
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

TEST_F(UsbCaptureTest, UnplugDuringCaptureEndsInACleanClose) {
    ll_device *ll = open_streaming(1);
    ASSERT_TRUE(start(ll));
    ASSERT_TRUE(eventually([&] { return recorder_.total() > 0; }));
    ASSERT_TRUE(settled(16));
    cam_.unplug();
    // Every queued transfer ends with "device gone"; resubmitting fails.
    ASSERT_TRUE(drained());
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_ERROR), 16);
    EXPECT_EQ(log_count("ERR", "on_usb_trans_event", "Unable to submit URB"), 16);
    EXPECT_FALSE(nivex_ll_cap_stop(ll));  // the stop command has nowhere to go
    nivex_ll_dev_close(ll);
    EXPECT_EQ(ll->priv, nullptr);
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
    ASSERT_TRUE(settled(16));
    nivex_ll_dev_close(ll);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_CANCELLED), 16);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
}

}  // namespace
}  // namespace nxtest
