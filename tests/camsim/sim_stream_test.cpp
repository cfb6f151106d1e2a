// Capture: the bulk stream of a capturing camera, re-framed by the library's
// stream parser, and the faults that damage it.
#include <gtest/gtest.h>

#include <memory>

#include "stream/nx_stream.h"
#include "usb_client.h"

namespace simtest {
namespace {

constexpr size_t kTransferSize = 153600;
constexpr size_t kMaxFrame = 1 << 20;

// A host-side capture: queued bulk transfers that are resubmitted as they
// complete, their bytes fed to a stream parser.
class Capture {
  public:
    explicit Capture(Session &session, size_t transfers = 16) : session_(session) {
        nx_stream_cfg cfg{64};
        parser_.reset(nx_stream_create(&cfg));
        for (size_t i = 0; i < transfers; ++i) {
            slots_.push_back(std::make_unique<Slot>());
            slots_.back()->owner = this;
        }
    }
    ~Capture() { stop(); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    struct Completion {
        int status;
        int length;
    };

    bool start() {
        libusb_device_handle *h = session_.handle();
        if (libusb_claim_interface(h, 0) != 0 || libusb_clear_halt(h, 0x81) != 0) return false;
        stopping_ = false;
        for (auto &slot : slots_) {
            slot->buffer.resize(kTransferSize);
            libusb_fill_bulk_transfer(slot->transfer, h, 0x81, slot->buffer.data(), kTransferSize,
                                      on_done, slot.get(), 2000);
            if (libusb_submit_transfer(slot->transfer) != 0) return false;
            slot->busy = true;
        }
        Bytes arg;
        put_le32(arg, 0);
        return send(h, 0xC2, 4, arg) == 4 && status(h)[0] == 0;
    }

    void stop() {
        if (stopping_) return;
        stopping_ = true;
        for (auto &slot : slots_)
            if (slot->busy) libusb_cancel_transfer(slot->transfer);
        pump([&] {
            for (auto &slot : slots_)
                if (slot->busy) return false;
            return true;
        });
        send(session_.handle(), 0xC2, 5, {0xC2});
    }

    bool pump(const std::function<bool()> &done, std::chrono::milliseconds limit = 10000ms) {
        return pump_until(session_.ctx(), done, limit);
    }
    uint32_t ready() const {
        return nx_stream_fetch_frames(parser_.get(), nullptr, 0, 1000, nullptr, true);
    }
    // The oldest ready frame, or empty.
    Bytes next_frame(nx_stream_frame_info *info) {
        nx_stream_frame_info taken{};
        Bytes frame(kMaxFrame);
        if (nx_stream_fetch_frames(parser_.get(), frame.data(), frame.size(), 1, &taken, false) ==
            0)
            return {};
        frame.resize(std::min<size_t>(taken.frlen, kMaxFrame));
        if (info) *info = taken;
        return frame;
    }
    nx_stream_state state() const {
        nx_stream_state s{};
        nx_stream_get_state(parser_.get(), &s);
        return s;
    }
    const std::vector<Completion> &completions() const { return completions_; }
    int count(int status) const {
        int n = 0;
        for (auto &c : completions_)
            n += c.status == status;
        return n;
    }
    // Stop resubmitting transfers that fail with these.
    bool resubmit_after_error = true;
    bool clear_halts = true;

  private:
    struct Slot {
        Capture *owner = nullptr;
        libusb_transfer *transfer = libusb_alloc_transfer(0);
        std::vector<unsigned char> buffer;
        bool busy = false;
        ~Slot() { libusb_free_transfer(transfer); }
    };

    static void LIBUSB_CALL on_done(libusb_transfer *t) {
        auto *slot = static_cast<Slot *>(t->user_data);
        Capture &self = *slot->owner;
        slot->busy = false;
        self.completions_.push_back({t->status, t->actual_length});
        if (t->actual_length > 0)
            nx_stream_feed_input(self.parser_.get(), t->buffer,
                                 static_cast<size_t>(t->actual_length));
        if (t->status == LIBUSB_TRANSFER_STALL && self.clear_halts)
            libusb_clear_halt(t->dev_handle, 0x81);
        const bool failed = t->status != LIBUSB_TRANSFER_COMPLETED;
        if (self.stopping_ || t->status == LIBUSB_TRANSFER_CANCELLED ||
            t->status == LIBUSB_TRANSFER_NO_DEVICE || (failed && !self.resubmit_after_error))
            return;
        if (libusb_submit_transfer(t) == 0) slot->busy = true;
    }

    struct ParserDeleter {
        void operator()(nx_stream *s) const { nx_stream_destroy(s); }
    };

    Session &session_;
    std::unique_ptr<nx_stream, ParserDeleter> parser_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::vector<Completion> completions_;
    bool stopping_ = true;
};

class SimStreamTest : public ::testing::Test {
  protected:
    void SetUp() override { nxsim::reset(); }
    void TearDown() override {
        capture_.reset();
        session_.reset();
        EXPECT_EQ(nxsim::usb_stats().transfers_in_flight, 0);
        nxsim::reset();
    }

    // A camera streaming as fast as the host reads, over an unlimited link.
    void open(nxsim::CameraConfig config = fast()) {
        // The byte-exact test pattern, not what an EPC sensor would see.
        if (!config.source) config.source = nxsim::make_test_pattern(config.product);
        cam_ = nxsim::add_camera(config);
        session_ = std::make_unique<Session>(cam_);
        ASSERT_TRUE(session_->ok());
        capture_ = std::make_unique<Capture>(*session_);
    }
    static nxsim::CameraConfig fast() {
        nxsim::CameraConfig config;
        config.mode = nxsim::StreamMode::Fast;
        config.link_rate = nxsim::kUnlimitedLink;
        return config;
    }

    nxsim::Camera cam_;
    std::unique_ptr<Session> session_;
    std::unique_ptr<Capture> capture_;
};

TEST_F(SimStreamTest, FramesReframeByteForByte) {
    open();
    ASSERT_TRUE(capture_->start());
    EXPECT_TRUE(cam_.capturing());
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 6; }));
    capture_->stop();
    EXPECT_FALSE(cam_.capturing());
    for (uint32_t i = 0; i < 6; ++i) {
        nx_stream_frame_info info{};
        Bytes frame = capture_->next_frame(&info);
        ASSERT_EQ(frame, nxsim::expected_frame("NVX-E2-2.0b", i)) << "frame " << i;
        EXPECT_EQ(info.fridx, i);
        EXPECT_EQ(info.frfmt, 2);
        EXPECT_EQ(info.frlen, 614400u);
        EXPECT_EQ(info.width, 320);
        EXPECT_EQ(info.height, 240);
        EXPECT_EQ(info.temp_sensor, 412);
        EXPECT_EQ(info.temp_ib, 398);
    }
    EXPECT_EQ(capture_->state().frames_discarded, 0u);
    // Over an unlimited link every transfer but the cancelled ones comes back full.
    for (auto &c : capture_->completions()) {
        if (c.status == LIBUSB_TRANSFER_COMPLETED) {
            EXPECT_EQ(c.length, int(kTransferSize));
        }
    }
    EXPECT_GT(capture_->count(LIBUSB_TRANSFER_CANCELLED), 0);
    auto counters = cam_.counters();
    EXPECT_EQ(counters.captures_started, 1u);
    EXPECT_EQ(counters.captures_stopped, 1u);
    EXPECT_EQ(counters.chunks_sent, counters.frames_sent * 10);  // 61440-byte chunks
}

TEST_F(SimStreamTest, TiProductsStreamTiFrames) {
    nxsim::CameraConfig config = fast();
    config.product = "NVX-T0-1.0";
    open(config);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 2; }));
    nx_stream_frame_info info{};
    EXPECT_EQ(capture_->next_frame(&info), nxsim::expected_frame("NVX-T0-1.0", 0));
    EXPECT_EQ(info.frlen, 307200u);
    EXPECT_EQ(info.frfmt, 1);
    EXPECT_NE(nxsim::expected_frame("NVX-T0-1.0", 1), nxsim::expected_frame("NVX-T0-1.0", 2));
}

TEST_F(SimStreamTest, FrameRateModeEndsEachBurstWithAShortTransfer) {
    nxsim::CameraConfig config;
    config.frame_rate = 2;
    config.link_rate = nxsim::kUnlimitedLink;
    open(config);
    ASSERT_TRUE(capture_->start());
    // The end of frame 0 does not wait for frame 1 to push it out: its last
    // transfer comes back short.
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 1; }));
    EXPECT_EQ(cam_.counters().frames_sent, 1u);
    const size_t burst = 614400 + 10 * 36;
    ASSERT_EQ(capture_->completions().size(), 5u);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(capture_->completions()[i].length, int(kTransferSize));
    EXPECT_EQ(capture_->completions()[4].length, int(burst - 4 * kTransferSize));
    EXPECT_EQ(capture_->next_frame(nullptr), nxsim::expected_frame("NVX-E2-2.0b", 0));
}

TEST_F(SimStreamTest, AHostThatDoesNotReadLosesFrames) {
    nxsim::CameraConfig config;
    config.frame_rate = 100;
    config.fifo_frames = 2;
    config.link_rate = nxsim::kUnlimitedLink;
    open(config);
    ASSERT_TRUE(capture_->start());
    std::this_thread::sleep_for(150ms);  // about 15 frames fall due meanwhile
    // The frame indices jump over the lost frames.
    nx_stream_frame_info previous{};
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 1; }));
    capture_->next_frame(&previous);
    EXPECT_EQ(previous.fridx, 0);
    int largest_step = 0;
    for (int i = 0; i < 30 && largest_step < 2; ++i) {
        ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 1; }));
        nx_stream_frame_info info{};
        capture_->next_frame(&info);
        largest_step = std::max(largest_step, info.fridx - previous.fridx);
        previous = info;
    }
    EXPECT_GT(largest_step, 1);
    EXPECT_GT(cam_.counters().frames_dropped, 5u);
}

TEST_F(SimStreamTest, CorruptedBytesCostFramesAndAreCounted) {
    open();
    cam_.inject_corruption(2e-6, 7);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->state().frames_discarded >= 2; }, 10000ms));
    capture_->stop();
    EXPECT_GT(cam_.faults().corrupted_bytes, 0u);
    nx_stream_frame_info info{};
    for (Bytes frame = capture_->next_frame(&info); !frame.empty();
         frame = capture_->next_frame(&info)) {
        // The frames that survived are whole, or carry a corrupted byte that
        // the header checksums cannot see; all are the right size.
        EXPECT_EQ(frame.size(), 614400u);
    }
}

TEST_F(SimStreamTest, DroppedChunkCostsItsFrame) {
    open();
    cam_.drop_next_chunks(1);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 3; }));
    EXPECT_EQ(cam_.faults().dropped_chunks, 1u);
    EXPECT_EQ(capture_->state().frames_discarded, 1u);
    nx_stream_frame_info info{};
    EXPECT_EQ(capture_->next_frame(&info), nxsim::expected_frame("NVX-E2-2.0b", 1));
    EXPECT_EQ(info.fridx, 1);

    // At a rate, chunks go missing here and there.
    cam_.inject_chunk_drop(0.2, 5);
    ASSERT_TRUE(capture_->pump([&] { return capture_->state().frames_discarded >= 4; }));
    EXPECT_GT(cam_.faults().dropped_chunks, 3u);
}

TEST_F(SimStreamTest, BulkTimeOutDeliversItsPartOfTheStream) {
    open();
    cam_.inject_bulk_timeout(1, 1000);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 3; }));
    ASSERT_EQ(capture_->count(LIBUSB_TRANSFER_TIMED_OUT), 1);
    for (auto &c : capture_->completions()) {
        if (c.status == LIBUSB_TRANSFER_TIMED_OUT) {
            EXPECT_EQ(c.length, 1000);
        }
    }
    EXPECT_EQ(cam_.faults().timeouts, 1u);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(capture_->next_frame(nullptr), nxsim::expected_frame("NVX-E2-2.0b", i));
}

TEST_F(SimStreamTest, BulkTimeOutOnAPacedLinkGetsItsBytesAcrossPasses) {
    nxsim::CameraConfig config;
    config.mode = nxsim::StreamMode::Fast;
    config.link_rate = 2'000'000;  // 1000 bytes take half a millisecond
    open(config);
    cam_.inject_bulk_timeout(1, 1000);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->count(LIBUSB_TRANSFER_TIMED_OUT) == 1; }));
    EXPECT_EQ(capture_->completions().front().status, LIBUSB_TRANSFER_TIMED_OUT);
    EXPECT_EQ(capture_->completions().front().length, 1000);
}

TEST_F(SimStreamTest, StalledEndpointStallsUntilTheHaltIsCleared) {
    open();
    capture_->clear_halts = false;
    cam_.inject_stall(1);
    ASSERT_TRUE(capture_->start());
    // Without a clear, every transfer that reaches the endpoint stalls.
    ASSERT_TRUE(capture_->pump([&] { return capture_->count(LIBUSB_TRANSFER_STALL) >= 3; }));
    EXPECT_EQ(capture_->ready(), 0u);
    ASSERT_EQ(libusb_clear_halt(session_->handle(), 0x81), 0);
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 2; }));
    EXPECT_EQ(cam_.faults().stalls, 1u);
    // A halt loses no stream bytes.
    EXPECT_EQ(capture_->next_frame(nullptr), nxsim::expected_frame("NVX-E2-2.0b", 0));
}

TEST_F(SimStreamTest, UnplugAfterFramesEndsEveryTransfer) {
    open();
    cam_.unplug_after_frames(2);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([] { return nxsim::usb_stats().transfers_in_flight == 0; }));
    EXPECT_GT(capture_->count(LIBUSB_TRANSFER_NO_DEVICE), 0);
    EXPECT_EQ(capture_->state().frames_queued, 2u);
    EXPECT_FALSE(cam_.attached());
    EXPECT_EQ(cam_.faults().unplugs, 1u);
    Bytes reply(63);
    EXPECT_EQ(receive(session_->handle(), 0xB0, 0, reply), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(SimStreamTest, LinkRatePacesTransfersSoThatStopCancelsSome) {
    nxsim::CameraConfig config;
    config.mode = nxsim::StreamMode::Fast;  // a high-speed link: 53 MB/s
    open(config);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 3; }));
    // Three frames of 614400 bytes need about 35 ms on this link.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
    capture_->stop();
    EXPECT_GE(capture_->count(LIBUSB_TRANSFER_CANCELLED), 14);
}

TEST_F(SimStreamTest, DataUploadModeSendsTheStoredBlockOnce) {
    nxsim::CameraConfig config = fast();
    config.stored_data.assign(5000, 0);
    config.stored_data[0] = 1;  // valid
    for (size_t i = 17; i < 5000; ++i)
        config.stored_data[i] = static_cast<uint8_t>(i * 13);
    open(config);
    EXPECT_EQ(cam_.param(8), Bytes(config.stored_data.begin(), config.stored_data.begin() + 17));
    Bytes mode(20, 0);
    mode[1] = 1;
    mode[2] = 9;
    ASSERT_EQ(send(session_->handle(), 0xC0, 3, mode), 20);
    ASSERT_TRUE(capture_->start());
    ASSERT_TRUE(capture_->pump([&] { return capture_->ready() >= 1; }));
    capture_->pump([] { return false; }, 50ms);
    EXPECT_EQ(capture_->ready(), 1u);
    nx_stream_frame_info info{};
    EXPECT_EQ(capture_->next_frame(&info), config.stored_data);
    EXPECT_EQ(info.frfmt, 171);
}

}  // namespace
}  // namespace simtest
