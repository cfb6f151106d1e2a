// The public API end to end on the real libusb: open, a parameter round
// trip, and a capture whose frames arrive byte-exact.
#include <cstring>
#include <vector>

#include "drivers/chip_driver.h"
#include "sim/camera/camera_model.h"
#include "usbfs_fixture.h"

namespace nxtest {
namespace {

using nxsim::CameraModel;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr uint32_t kFrameBytes = 307200;  // TI frames: 320 x 240 x 4

class RealApiEndToEndTest : public RealApiTest {
  protected:
    void SetUp() override {
        RealApiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        nxsim::CameraConfig config;
        config.product = kProduct;
        config.info = "REAL LIBUSB CAMERA";
        cam_ = bus_->add_camera(config);
        ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    }

    UsbfsCamera cam_;
};

TEST_F(RealApiEndToEndTest, OpenReadsTheIdentityFromTheCamera) {
    EXPECT_NE(dev_.handle, nullptr);
    EXPECT_STREQ(dev_.product, kProduct);
    EXPECT_STREQ(dev_.info_str, "REAL LIBUSB CAMERA");
    EXPECT_EQ(dev_.usb_bus, cam_.bus_number());
    EXPECT_EQ(dev_.usb_port, cam_.port());
    EXPECT_EQ(dev_.usb_addr, cam_.address());
    ASSERT_NE(nivex_dev_get_drv(&dev_), nullptr);
    EXPECT_STREQ(nivex_dev_get_drv(&dev_)->product_code, "T0");
}

TEST_F(RealApiEndToEndTest, ParameterRoundTrip) {
    nivex_param_entry fps{};
    fps.param_id = NIVEX_PARAM_FRAME_RATE;
    fps.param_val_len = 4;
    fps.param_val.u32 = 15;
    ASSERT_TRUE(nivex_param_batch_set(&dev_, &fps, 1));
    EXPECT_EQ(cam_.act([](CameraModel &m) { return m.params().frame_rate(); }), 15u);

    nivex_param_entry back{};
    back.param_id = NIVEX_PARAM_FRAME_RATE;
    ASSERT_TRUE(nivex_param_batch_get(&dev_, &back, 1));
    EXPECT_EQ(back.param_val_len, 4);
    const uint32_t value = back.param_val.u32;  // packed member: read by value
    EXPECT_EQ(value, 15u);
}

TEST_F(RealApiEndToEndTest, CapturedFramesArriveByteExact) {
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 10 * NIVEX_FRAME_SLOT_SIZE));
    // One frame at the start, flat out only once started, so that the
    // start's status query does not wait behind the stream.
    cam_.act([](CameraModel &m) { m.params().set_frame_rate(1); });
    ASSERT_TRUE(nivex_cap_start(&dev_));
    cam_.act([](CameraModel &m) { m.set_stream_mode(nxsim::StreamMode::Fast); });
    constexpr int kFrames = 8;
    std::vector<uint8_t> frames(kFrames * kFrameBytes);
    nivex_frame_meta first{};
    ASSERT_EQ(nivex_cap_get_frames(&dev_, kFrames, frames.data(),
                                   static_cast<uint32_t>(frames.size()), &first),
              kFrames);
    EXPECT_EQ(first.frame_size, kFrameBytes);
    EXPECT_EQ(first.width, 320u);
    EXPECT_EQ(first.height, 240u);
    for (int i = 0; i < kFrames; ++i) {
        const std::vector<uint8_t> want = nxsim::expected_frame(kProduct, first.frame_idx + i);
        EXPECT_EQ(std::memcmp(frames.data() + static_cast<size_t>(i) * kFrameBytes, want.data(),
                              kFrameBytes),
                  0)
            << "frame " << first.frame_idx + i;
    }
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    EXPECT_TRUE(eventually([&] { return bus_->pending_urbs() == 0; }));
}

}  // namespace
}  // namespace nxtest
