// One sensor record per device: two cameras open at once keep their own
// identity, frequency and tables; calls from several threads while a camera
// is unplugged fail cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "sensor_fixture.h"
#include "sensorlib/device_adapter.h"

namespace sensortest {
namespace {

using MultiDeviceTest = SensorTest;

uint16_t near(int k, int, int x) {
    return static_cast<uint16_t>(1000 + 400 * k + x % 3);
}
uint16_t far(int k, int, int x) {
    return static_cast<uint16_t>(9000 + 700 * k + x % 5);
}

TEST_F(MultiDeviceTest, TwoCamerasKeepTheirOwnCalibration) {
    constexpr uint16_t kChipA = 11, kChipB = 12;
    write_data_file(params_name(kChipA), param_file(24000, 8000, 300, 280.0, 310));
    write_images(images_name(kChipA), make_images(30, kWidth, kHeight, near));
    write_data_file(params_name(kChipB), param_file(8100, 310, 300.0, 320));
    write_images(images_name(kChipB), make_images(12, kWidth, kHeight, far));
    nxsim::Camera cam_a = add_sensor_camera(kChipA);
    nxsim::Camera cam_b = add_sensor_camera(kChipB);
    nivex_device list[2] = {};
    ASSERT_EQ(nivex_dev_list(list, 2), 2);
    nivex_device dev_b = list[0].usb_port == cam_b.port() ? list[0] : list[1];
    dev_ = list[0].usb_port == cam_a.port() ? list[0] : list[1];
    ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    ASSERT_EQ(nivex_dev_open(&dev_b), &dev_b);
    ASSERT_TRUE(epc_adapter_init(&dev_));
    ASSERT_TRUE(epc_adapter_init(&dev_b));

    auto a = nx::sensor::model_of(&dev_);
    auto b = nx::sensor::model_of(&dev_b);
    ASSERT_TRUE(a && b);
    ASSERT_NE(a, b);
    EXPECT_EQ(a->chip_id(), kChipA);
    EXPECT_EQ(b->chip_id(), kChipB);
    EXPECT_EQ(a->modulation_khz(), 24000);
    EXPECT_EQ(b->modulation_khz(), 12000);
    EXPECT_EQ(cam_a.modulation_khz(), 24000u);
    EXPECT_EQ(cam_b.modulation_khz(), 12000u);
    EXPECT_EQ(a->num_distances(), 30);
    EXPECT_EQ(b->num_distances(), 12);
    EXPECT_DOUBLE_EQ(a->calibration()->params().step_cal_mm, 280.0);
    EXPECT_DOUBLE_EQ(b->calibration()->params().step_cal_mm, 300.0);
    // Readout row 0 is image row 119.
    EXPECT_EQ(a->calibration()->banks[1]->lut[30 * 7 + 4], near(4, 119, 7));
    EXPECT_EQ(b->calibration()->banks[1]->lut[12 * 7 + 4], far(4, 119, 7));

    // The device-less calls act on the current device, the one bound last.
    EXPECT_EQ(configGetChipID(), kChipB);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    ASSERT_EQ(configSetModulationFrequency(3, 32), 0);
    EXPECT_EQ(cam_b.modulation_khz(), 6000u);
    EXPECT_EQ(cam_a.modulation_khz(), 24000u);
    EXPECT_EQ(a->modulation_khz(), 24000);

    // Releasing one camera leaves the other's record alone.
    nx::sensor::adapter_release(&dev_b);
    EXPECT_EQ(nx::sensor::model_of(&dev_b), nullptr);
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    EXPECT_EQ(nx::sensor::model_of(&dev_), a);
    EXPECT_EQ(a->chip_id(), kChipA);
    nivex_dev_close(&dev_b);
}

// Binding a device again finds its record; uninit forgets the current
// device, whose record then answers the device-less getters.
TEST_F(MultiDeviceTest, RebindingKeepsTheRecordOfTheSameDevice) {
    open_and_bind();
    auto first = nx::sensor::current_model();
    ASSERT_EQ(configSetIntegrationTime3D(1234), 0);
    epc_adapter_uninit();
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    EXPECT_EQ(configGetIntegrationTime3D(), 1234);
    uint8_t byte = 0;
    uint8_t *buf = &byte;
    EXPECT_EQ(i2c(32, 'r', 0x82, 1, &buf), -1);
    ASSERT_TRUE(epc_adapter_init(&dev_));
    EXPECT_EQ(nx::sensor::current_model(), first);
    EXPECT_EQ(configGetIntegrationTime3D(), 1234);
}

TEST_F(MultiDeviceTest, CallsFromManyThreadsWhileTheCameraIsUnplugged) {
    open_and_bind();
    cam_.unplug();
    std::atomic<int> failures{0};
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        for (int16_t t = 0; !stop; ++t) {
            const int16_t header[2] = {t, static_cast<int16_t>(t + 1)};
            temperatureSetTemperatureByFrameHeader(header);
            pruSetSize(320, 120);
            (void)configGetModulationFrequency();
            (void)calibrateGetDistImagePixel(t);
        }
    });
    auto worker = [&] {
        for (int i = 0; i < 5; ++i) {
            failures += configSetModulationFrequency(i % 7, 32) == -1;
            failures += configEnableHDR(i % 2, 32) == -1;
            failures += apiSetROI(4, 323, 6, 125, 32) == -1;
            failures += configInit(32) == -1;
            failures += epc_adapter_init(&dev_) ? 0 : 1;
            failures += calibrationLoadDistanceImages(1) == -1;  // no file
        }
    };
    std::thread w1(worker), w2(worker);
    w1.join();
    w2.join();
    stop = true;
    frames.join();
    EXPECT_EQ(failures, 2 * 5 * 6);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(calculationIsHDR(), 0);
    EXPECT_TRUE(logged("[ERR] [epc_adapter_init] Get chip info failed\n"));
}

}  // namespace
}  // namespace sensortest
