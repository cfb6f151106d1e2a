// Capture streaming on the real libusb: hundreds of frames byte-exact, stall
// and time-out events, stop, and an unplug during capture.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "sim/camera/camera_model.h"
#include "stream/nx_stream.h"
#include "usbfs_fixture.h"

namespace nxtest {
namespace {

using nxsim::CameraModel;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr size_t kFrameBytes = 307200;  // TI frames: 320 x 240 x 4

struct StreamDeleter {
    void operator()(nx_stream *stream) const { nx_stream_destroy(stream); }
};

class RealUsbCaptureTest : public RealUsbTest {
  protected:
    // An open camera streaming as fast as the host reads (0), or at a frame rate.
    ll_device *open_streaming(uint32_t frame_rate = 0) {
        nxsim::CameraConfig config;
        config.product = kProduct;
        if (frame_rate == 0)
            config.mode = nxsim::StreamMode::Fast;
        else
            config.frame_rate = frame_rate;
        cam_ = add_camera(config);
        return open(cam_);
    }

    bool start(ll_device *ll) {
        return nivex_ll_cap_start(ll, 0, CaptureRecorder::callback, &recorder_);
    }

    // Events that came with `buffer` after position `from`.
    int events_with(const uint8_t *buffer, size_t from) const {
        auto events = recorder_.events();
        return static_cast<int>(
            std::count_if(events.begin() + static_cast<long>(std::min(from, events.size())),
                          events.end(), [buffer](const auto &e) { return e.buffer == buffer; }));
    }

    // Position of the first event of kind `event`, which must come.
    size_t first(int event) {
        EXPECT_TRUE(eventually([&] { return recorder_.count(event) > 0; }, 10000ms));
        auto events = recorder_.events();
        auto it = std::find_if(events.begin(), events.end(),
                               [event](const auto &e) { return e.event == event; });
        return static_cast<size_t>(it - events.begin());
    }

    UsbfsCamera cam_;
    CaptureRecorder recorder_;
    // Outlives the session, whose event thread feeds it.
    std::unique_ptr<nx_stream, StreamDeleter> parser_;
};

// The event thread re-frames the stream and checks each frame as it
// completes, so the check paces the camera and no frame is lost to it.
TEST_F(RealUsbCaptureTest, HundredsOfFramesArriveByteExact) {
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
    EXPECT_TRUE(eventually([&] { return exact.load() + wrong.load() >= 300; }, 20000ms));
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_GE(exact.load(), 300);
    EXPECT_EQ(wrong.load(), 0);
    nx_stream_state state{};
    nx_stream_get_state(parser_.get(), &state);
    EXPECT_EQ(state.frames_discarded, 0u);
    EXPECT_EQ(state.bytes_skipped, 0u);
    EXPECT_TRUE(eventually([&] { return bus_->pending_urbs() == 0; }));
    EXPECT_FALSE(cam_.act([](CameraModel &m) { return m.capturing(); }));
}

TEST_F(RealUsbCaptureTest, StopCancelsEveryQueuedTransfer) {
    ll_device *ll = open_streaming(1);
    ASSERT_TRUE(start(ll));
    // Between two frames all 16 transfers wait on the endpoint.
    ASSERT_TRUE(eventually([&] { return recorder_.total() > 0 && bus_->pending_urbs() == 16; }));
    const size_t before = recorder_.events().size();
    ASSERT_TRUE(nivex_ll_cap_stop(ll));
    ASSERT_TRUE(eventually([&] { return bus_->pending_urbs() == 0; }));
    ASSERT_TRUE(eventually([&] { return recorder_.events().size() - before == 16; }));
    auto events = recorder_.events();
    for (size_t i = before; i < events.size(); ++i)
        EXPECT_EQ(events[i].event, LL_CAP_EVT_CANCELLED);
}

TEST_F(RealUsbCaptureTest, StallIsClearedAndTheTransferResubmitted) {
    ll_device *ll = open_streaming();
    cam_.act([](CameraModel &m) { m.faults().set_stall(1); });
    ASSERT_TRUE(start(ll));
    const size_t at = first(LL_CAP_EVT_STALL);
    const uint8_t *stalled = recorder_.events()[at].buffer;
    // Data keeps coming, on the stalled slot too: the halt was cleared.
    EXPECT_TRUE(eventually([&] { return events_with(stalled, at + 1) > 0; }));
    EXPECT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 32; }));
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_STALL), 1);
    EXPECT_EQ(log_count("WRN", "on_usb_trans_event", "stall"), 1);
    EXPECT_EQ(log_count("ERR", "on_usb_trans_event", "Clear halt failed"), 0);
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
}

// libusb itself ends a transfer at its time-out (6 s for capture transfers).
TEST_F(RealUsbCaptureTest, TimedOutTransferDeliversWhatArrivedAndIsResubmitted) {
    ll_device *ll = open_streaming();
    cam_.act([](CameraModel &m) { m.faults().set_bulk_timeout(1, 1000); });
    ASSERT_TRUE(start(ll));
    const size_t at = first(LL_CAP_EVT_TIMEOUT);
    const auto timeout = recorder_.events()[at];
    EXPECT_EQ(timeout.len, 1000);
    EXPECT_TRUE(eventually([&] { return events_with(timeout.buffer, at + 1) > 0; }));
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_EQ(log_count("DBG", "on_usb_trans_event", "timeout (last_tx=1000)"), 1);
}

TEST_F(RealUsbCaptureTest, UnplugDuringCaptureEndsInACleanClose) {
    ll_device *ll = open_streaming();
    ASSERT_TRUE(start(ll));
    // Armed once streaming, so that the start command has had its answer.
    ASSERT_TRUE(eventually([&] { return recorder_.count(LL_CAP_EVT_DATA) > 0; }));
    cam_.act([](CameraModel &m) { m.faults().set_unplug_after(2); });
    // Transfers in flight end with an error event; every slot's next
    // submission fails.
    ASSERT_TRUE(eventually(
        [&] { return log_count("ERR", "on_usb_trans_event", "Unable to submit URB") == 16; }));
    EXPECT_EQ(bus_->pending_urbs(), 0u);
    EXPECT_EQ(recorder_.count(LL_CAP_EVT_ERROR),
              log_count("WRN", "on_usb_trans_event", "error (5)"));
    EXPECT_FALSE(nivex_ll_cap_stop(ll));  // the stop command has nowhere to go
    nivex_ll_dev_close(ll);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
}

}  // namespace
}  // namespace nxtest
