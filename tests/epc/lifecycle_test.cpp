// Opening and closing EPC cameras with their driver: one state per device, a
// failed set-up that every operation survives, the stand-alone sensor
// adapter on an EPC camera, the frame-valid flag and the lens intrinsics.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "epc_fixture.h"
#include "nivex_sensorlib.h"
#include "sensorlib/sensor_registry.h"
#include "stream/nx_stream.h"

namespace epctest {
namespace {

using namespace std::chrono_literals;

class Lifecycle : public EpcTest {};

TEST_F(Lifecycle, EpcCamerasOpenWithTheirDriver) {
    open_epc();
    EXPECT_STREQ(drv()->desc, "EPC chip driver");
    EXPECT_EQ(drv()->dev, &dev_);
    EXPECT_EQ(drv()->ops, &g_nivex_driver_op_epc);
    EXPECT_NE(drv(), nivex_drv_find(&dev_));  // the session's own instance
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(nx::sensor::current_device(), &dev_);
    EXPECT_TRUE(logged("[DBG] [epc_init] FW_VER:0\n"));
    EXPECT_STREQ(state().dist_images_name.data(), "kpl_ex_images_drnu_W1042_C007_10.bin");
    EXPECT_STREQ(state().drnu_param_name.data(), "kpl_ex_drnu_param_W1042_C007_10.bin");
    nivex_dev_close(&dev_);
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    EXPECT_EQ(nx::epc::state_of_device(&dev_), nullptr);
}

// Two cameras of one product code: each has its own state, and closing one
// while the other decodes leaves the other working.
TEST_F(Lifecycle, CamerasOfOneProductKeepStatesOfTheirOwn) {
    add_epc_camera();
    add_epc_camera();
    nivex_device list[2];
    ASSERT_EQ(nivex_dev_list(list, 2), 2);
    ASSERT_EQ(nivex_dev_open(&list[0]), &list[0]);
    ASSERT_EQ(nivex_dev_open(&list[1]), &list[1]);
    chip_driver *a = nivex_dev_get_drv(&list[0]);
    chip_driver *b = nivex_dev_get_drv(&list[1]);
    ASSERT_NE(nx::epc::state_of(a), nx::epc::state_of(b));
    nivex_filter_args arg{};
    arg.min_amp = 123;
    a->ops->filter_enable(a, NIVEX_FILTER_MIN_AMP, &arg, 2);
    EXPECT_EQ(nx::epc::state_of(b)->min_amp.load(), 0);

    const Image raw = uniform_raw(kPixels, samples_for(7000, 700));
    const nivex_frame_meta meta = meta_of(kWidth, kHeight, kPixels * 8);
    std::atomic<bool> stop{false};
    std::atomic<int> decoded{0};
    std::thread decoder([&] {
        Image out(kPixels);
        while (!stop.load()) {
            if (b->ops->frame_decode(b, out.data(), kPixels * 2, 1,
                                     reinterpret_cast<const uint8_t *>(raw.data()), kPixels * 8,
                                     &meta) > 0)
                decoded.fetch_add(1);
        }
    });
    while (decoded.load() < 2)
        std::this_thread::yield();
    nivex_dev_close(&list[0]);
    const int before = decoded.load();
    while (decoded.load() < before + 2)
        std::this_thread::yield();
    stop.store(true);
    decoder.join();
    nivex_dev_close(&list[1]);
}

// The sensor set-up fails (the chip information is short): the open goes on,
// and every operation of the driver refuses cleanly.
TEST_F(Lifecycle, FailedSetUpLeavesADriverThatRefusesEverything) {
    nxsim::Camera cam = add_epc_camera();
    const uint8_t short_info[] = {2, 0};
    cam.set_param(7, short_info);
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_TRUE(logged("[ERR] [epc_init] epc_adapter_init failed!\n"));
    EXPECT_TRUE(logged("[ERR] [nivex_dev_open] Load calibration data failed\n"));
    chip_driver *d = drv();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->priv, nullptr);
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    nx_stream_frame_info info{};
    info.frlen = kPixels * 8;
    info.frfmt = 2;
    nivex_frame_meta meta{};
    EXPECT_FALSE(d->ops->frame_get_info(d, &meta, &info));
    const Image raw = uniform_raw(kPixels, samples_for(7000, 700));
    Image out(kPixels);
    meta = meta_of(kWidth, kHeight, kPixels * 8);
    EXPECT_EQ(
        d->ops->frame_decode(d, out.data(), kPixels * 2, 1,
                             reinterpret_cast<const uint8_t *>(raw.data()), kPixels * 8, &meta),
        -1);
    nivex_filter_args arg{};
    EXPECT_FALSE(d->ops->filter_enable(d, NIVEX_FILTER_MIN_AMP, &arg, 2));
    EXPECT_FALSE(d->ops->filter_disable(d, NIVEX_FILTER_MIN_AMP));
    EXPECT_EQ(d->ops->calib_load(d, 0, 0, 2), -1);
    epc_lens_param lens{};
    EXPECT_FALSE(d->ops->lens_param_get(d, &lens, 320, 240));
    EXPECT_EQ(d->ops->spare2(d, nullptr, 5, 2), 5);
    EXPECT_EQ(calc_dist_calib_simple(d, out.data(), out.data(), raw.data(), 4, 4, 4), 0);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    nivex_dev_close(&dev_);  // uninit of a driver without state
}

TEST_F(Lifecycle, StandaloneAdapterOpensAnEpcCamera) {
    add_epc_camera();
    auto done = std::async(std::launch::async, [] {
        const bool bound = epc_adapter_init(nullptr);
        const bool epc = nx::epc::state_of_device(nx::sensor::current_device()) != nullptr;
        epc_adapter_uninit();
        return bound && epc;
    });
    ASSERT_EQ(done.wait_for(60s), std::future_status::ready) << "the adapter hangs";
    EXPECT_TRUE(done.get());
    // The adapter ended the library; start it again for the fixture.
    ASSERT_TRUE(nivex_init(nullptr));
}

TEST_F(Lifecycle, FrameValidFlagOfTheCurrentDevice) {
    epc_adapater_set_frame_valid(0);  // no current device: nothing happens
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    open_epc();
    EXPECT_EQ(epc_adapater_get_frame_valid(), 0);
    describe(400, 380);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
    epc_adapater_set_frame_valid(0);
    EXPECT_EQ(state().frame_valid.load(), 0);
    nivex_dev_close(&dev_);
    EXPECT_EQ(epc_adapater_get_frame_valid(), 1);
}

TEST_F(Lifecycle, FrameDescriptionTakesGeometryAndTemperatures) {
    open_epc();
    nx_stream_frame_info info{};
    info.frlen = kPixels * 8;
    info.fridx = 77;
    info.frfmt = 2;
    info.temp_sensor = -15;
    info.temp_ib = 402;
    nivex_frame_meta meta{};
    meta.reserved1 = 9;
    ASSERT_TRUE(drv()->ops->frame_get_info(drv(), &meta, &info));  // width/height 0: 320 x 240
    EXPECT_EQ(meta.frame_size, kPixels * 8);
    EXPECT_EQ(meta.frame_idx, 77);
    EXPECT_EQ(meta.width, 320u);
    EXPECT_EQ(meta.height, 240u);
    EXPECT_EQ(meta.pixel_bytes, 8);
    EXPECT_EQ(meta.reserved1, 0);
    EXPECT_EQ(state().sensor_temp.load(), -15);
    EXPECT_EQ(state().ib_temp.load(), 402);
    EXPECT_EQ(state().sensor->sensor_temperature(), -15);
    EXPECT_EQ(state().sensor->pru_rows_per_half(), 0);  // the header's 0, before the default
    EXPECT_TRUE(logged("[epc_frame_get_info] frame: fmt=2, sz=614400, wxh = 320x240\n"));
    info.width = 160;
    info.height = 120;
    info.frlen = 160 * 120 * 8 + 1;
    EXPECT_FALSE(drv()->ops->frame_get_info(drv(), &meta, &info));
    info.frfmt = 171;  // a calibration block is carried whole
    EXPECT_TRUE(drv()->ops->frame_get_info(drv(), &meta, &info));
    EXPECT_EQ(meta.frame_size, 160u * 120 * 8 + 1);
    EXPECT_EQ(state().sensor->pru_rows_per_half(), 60);
}

TEST_F(Lifecycle, LensIntrinsicsScaleToTheFrame) {
    open_epc();
    epc_lens_param lens{};
    ASSERT_TRUE(drv()->ops->lens_param_get(drv(), &lens, 160, 120));
    EXPECT_DOUBLE_EQ(lens.cx, 78.631);
    EXPECT_DOUBLE_EQ(lens.fx, 105.3915);
    EXPECT_EQ(lens.img_w, 160);
    EXPECT_DOUBLE_EQ(lens.dcoeff[0], -0.378924);
    EXPECT_FALSE(drv()->ops->lens_param_get(drv(), &lens, 300, 240));
    EXPECT_TRUE(
        logged("[epc_lens_param_get] lens param not match the frame size: lens: 320x240, frame: "
               "300x240\n"));
    EXPECT_FALSE(drv()->ops->lens_param_get(drv(), &lens, 0, 240));
}

// With the camera gone, decoding goes on; what needs the camera says so.
TEST_F(Lifecycle, UnpluggedCameraStillDecodes) {
    open_epc();
    nivex_filter_args arg{};
    arg.sat_ratio = 5;
    ASSERT_TRUE(drv()->ops->filter_enable(drv(), NIVEX_FILTER_AUTO_INTG, &arg, 2));
    cam_.unplug();
    Image out;
    EXPECT_EQ(decode(NX_DECODE_DISTANCE, uniform_raw(kPixels, samples_for(7000, 700)), out),
              int32_t(kPixels * 2));
    EXPECT_TRUE(logged("[ERR] [_feature_auto_intg] adjust intg from 700 to 750 failed\n"));
    EXPECT_TRUE(drv()->ops->filter_enable(drv(), NIVEX_FILTER_HDR, &arg, 2));
    EXPECT_TRUE(logged("[WRN] [epc_filter_enable] sensor HDR mode not changed"));
    describe(400, 380);
    EXPECT_TRUE(logged("FPS:0\n"));
}

}  // namespace
}  // namespace epctest
