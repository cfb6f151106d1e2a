// The sensor configuration model through its exported calls: adapter,
// identity, frequency table and switch, integration times, HDR, ABS, window,
// set-up at open; the register bytes each puts on the wire.
#include <gtest/gtest.h>

#include <algorithm>

#include "sensor_fixture.h"

namespace sensortest {
namespace {

using ConfigTest = SensorTest;

TEST_F(ConfigTest, AdapterReadsTheChipAndSetsTheSensorUp) {
    cam_ = add_sensor_camera(321, 77);
    ASSERT_EQ(open_first(), &dev_);
    cam_.clear_wire_log();
    ASSERT_TRUE(epc_adapter_init(&dev_));
    EXPECT_EQ(configGetPartType(), 2);
    EXPECT_EQ(configGetPartVersion(), 2);
    EXPECT_EQ(configGetIcVersion(), 2);
    EXPECT_EQ(configGetChipID(), 321);
    EXPECT_EQ(configGetWaferID(), 77);
    EXPECT_EQ(configGetDeviceAddress(), 32);

    // Set-up order: delay 2, DLL bypass by read-modify-write, delay line at
    // rest, DLL run, ABS on the four phase registers, the window.
    std::vector<RegAccess> writes = sensor_writes(cam_.wire_log());
    std::vector<RegAccess> expected = {
        write_of(0x8B, {2}),    write_of(0xAE, {1}),
        write_of(0xAE, {1}),    write_of(0x71, {0, 0, 0}),
        write_of(0xAE, {4}),    write_of(0x22, {0x34}),
        write_of(0x25, {0x31}), write_of(0x28, {0x3E}),
        write_of(0x2B, {0x3B}), write_of(150, {0, 4, 1, 67, 6, 125})};
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(model().pru_columns(), 320);
    EXPECT_EQ(model().pru_rows_per_half(), 120);
}

TEST_F(ConfigTest, AdapterFailsWhenTheChipIdentityCannotBeRead) {
    cam_ = add_sensor_camera();
    ASSERT_EQ(open_first(), &dev_);
    cam_.inject_error("no chip", 0xC0, 1);
    EXPECT_FALSE(epc_adapter_init(&dev_));
    EXPECT_TRUE(logged("[ERR] [epc_adapter_init] Get chip info failed\n"));
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    uint8_t byte = 0;
    uint8_t *buf = &byte;
    EXPECT_EQ(i2c(32, 'r', 0x82, 1, &buf), -1);
}

TEST_F(ConfigTest, FrequencyTableFollowsThePllRegisters) {
    open_and_bind();
    const std::array<int, 7> power_on = {36000, 24000, 12000, 6000, 3000, 1500, 750};
    EXPECT_EQ(model().frequency_table(), power_on);

    cam_.set_reg(1, 0x82, 11);    // (11 + 1) x 4 MHz = 48 MHz
    cam_.set_reg(1, 0x81, 0x10);  // halved: 24 MHz
    ASSERT_EQ(configInit(32), 0);
    EXPECT_EQ(model().frequency_table(),
              (std::array<int, 7>{36000, 6000, 3000, 1500, 750, 375, 187}));
    ASSERT_EQ(configSetModulationFrequency(1, 32), 0);
    EXPECT_EQ(configGetModulationFrequency(), 6000);
    EXPECT_EQ(cam_.modulation_khz(), 6000u);
}

TEST_F(ConfigTest, EachSettingWritesDividerAndModeAndTheCameraFollows) {
    open_and_bind();
    const uint32_t dividers[] = {0, 0, 1, 3, 7, 15, 31};
    for (int setting = 0; setting < 7; ++setting) {
        cam_.clear_wire_log();
        ASSERT_EQ(configSetModulationFrequency(setting, 32), 0) << setting;
        auto wire = cam_.wire_log();
        EXPECT_EQ(sensor_writes(wire),
                  (std::vector<RegAccess>{write_of(133, {dividers[setting]}),
                                          write_of(128, {setting == 0 ? 127u : 63u})}));
        // Mode 0: the 2D time goes to the camera as parameter 13.
        auto params = param_writes(wire);
        ASSERT_EQ(params.size(), 1u);
        EXPECT_EQ(params[0].id, 13);
        EXPECT_EQ(params[0].value, (std::vector<uint8_t>{0xBC, 0x02}));  // 700
        EXPECT_EQ(configGetModFreqMode(), setting);
        EXPECT_EQ(static_cast<uint32_t>(configGetModulationFrequency()), cam_.modulation_khz());
    }
    ASSERT_EQ(configSetModulationFrequency(9, 32), 0);  // any other value is setting 2
    EXPECT_EQ(configGetModFreqMode(), 2);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(ConfigTest, FrequencySwitchRefusedWithoutTableOrWhenTheChipRefuses) {
    EXPECT_EQ(configSetModulationFrequency(1, 32), -1);  // nothing read from a chip yet
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    open_and_bind();
    cam_.inject_error("refused", 0xC2, 1);
    EXPECT_EQ(configSetModulationFrequency(1, 32), -1);
    EXPECT_EQ(configGetModFreqMode(), 2);
    EXPECT_EQ(configSetModulationFrequency(1, 200), -1);  // address out of range
    EXPECT_EQ(configGetModulationFrequency(), 12000);
}

TEST_F(ConfigTest, IntegrationTimeLimitsAndModeOneWrites) {
    open_and_bind();
    cam_.clear_wire_log();
    EXPECT_EQ(configSetIntegrationTime3D(4001), -1);
    EXPECT_EQ(configSetIntegrationTime3D(-1), -1);
    EXPECT_EQ(configGetIntegrationTime3D(), 700);
    EXPECT_EQ(configSetIntegrationTime3D(4000), 0);  // mode 0: the camera is not told
    EXPECT_EQ(configGetIntegrationTime3D(), 4000);
    EXPECT_TRUE(cam_.wire_log().empty());

    model().set_current_mode(1);
    EXPECT_EQ(configSetIntegrationTime3D(1000), 0);
    auto params = param_writes(cam_.wire_log());
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].id, 13);
    EXPECT_EQ(params[0].length, 2);
    EXPECT_EQ(cam_.integration_time(), 1000);
    cam_.unplug();
    EXPECT_EQ(configSetIntegrationTime3D(1500), -1);
    EXPECT_EQ(configGetIntegrationTime3D(), 1000);
}

// 12 MHz: clock 48 MHz, period 20.83 ns, one multiplier step 1365.3 us.
TEST_F(ConfigTest, HdrBitsAndIntegrationTimeRegisters) {
    open_and_bind();
    cam_.set_reg(1, 0x94, 0x05);  // bits the HDR switch must keep
    cam_.set_reg(1, 0x92, 0x41);
    cam_.set_reg(1, 0x22, 0xF4);
    ASSERT_EQ(configSetIntegrationTime3DHDR(70), 0);
    ASSERT_EQ(configEnableHDR(1, 32), 0);
    EXPECT_EQ(calculationIsHDR(), 1);
    EXPECT_EQ(cam_.reg(1, 0x94), 0x85u);
    EXPECT_EQ(cam_.reg(1, 0x92), 0x49u);
    EXPECT_EQ(cam_.reg(1, 0x22), 0xF0u);  // ABS bits from the adapter kept
    EXPECT_EQ(cam_.reg(1, 0x25) & 0x0F, 5u);
    EXPECT_EQ(cam_.reg(1, 0x28) & 0x0F, 10u);
    EXPECT_EQ(cam_.reg(1, 0x2B) & 0x0F, 15u);
    // m = 1, 700 us = 33600 periods, 70 us = 3360 periods (counts minus one).
    auto reg16 = [&](uint32_t hi) { return cam_.reg(1, hi) << 8 | cam_.reg(1, hi + 1); };
    EXPECT_EQ(reg16(160), 1u);
    EXPECT_EQ(reg16(162), 33599u);
    EXPECT_EQ(reg16(158), 3359u);
    ASSERT_EQ(configSetIntegrationTime3D(4000), 0);  // in HDR mode: registers, m = 3
    EXPECT_EQ(reg16(160), 3u);
    EXPECT_EQ(reg16(162), 63999u);
    EXPECT_EQ(reg16(158), 1119u);

    ASSERT_EQ(configEnableHDR(0, 32), 0);
    EXPECT_EQ(calculationIsHDR(), 0);
    EXPECT_EQ(cam_.reg(1, 0x94), 0x05u);
    EXPECT_EQ(cam_.reg(1, 0x92), 0x41u);
    EXPECT_EQ(cam_.reg(1, 0x22), 0xF4u);
    EXPECT_EQ(cam_.reg(1, 0x25) & 0x0F, 1u);
    EXPECT_EQ(cam_.reg(1, 0x28) & 0x0F, 14u);
    EXPECT_EQ(cam_.reg(1, 0x2B) & 0x0F, 11u);
}

TEST_F(ConfigTest, FailedReadOfAReadModifyWriteWritesNothing) {
    open_and_bind();
    cam_.clear_wire_log();
    cam_.inject_error("read refused", 0xC2, 1);  // the read of 0x94
    EXPECT_EQ(configEnableHDR(1, 32), -1);
    EXPECT_EQ(calculationIsHDR(), 0);
    EXPECT_TRUE(sensor_writes(cam_.wire_log()).empty());
    EXPECT_EQ(cam_.reg(1, 0x94), 0u);

    cam_.inject_error("read refused", 0xC2, 1);  // the read of 0x22
    EXPECT_EQ(configEnableABS(0, 32), -1);
    EXPECT_TRUE(sensor_writes(cam_.wire_log()).empty());
    EXPECT_EQ(cam_.reg(1, 0x22), 0x34u);
    ASSERT_EQ(apiEnableABS(0, 32), 0);
    for (uint32_t r : {0x22, 0x25, 0x28, 0x2B})
        EXPECT_EQ(cam_.reg(1, r) & 0x30, 0u) << r;
}

TEST_F(ConfigTest, WindowChecks) {
    open_and_bind();
    cam_.clear_wire_log();
    EXPECT_EQ(apiSetROI(3, 323, 6, 125, 32), -1);
    EXPECT_TRUE(logged("[ERR] [apiSetROI] bad x coordinates\n"));
    EXPECT_EQ(apiSetROI(4, 329, 6, 125, 32), -1);
    EXPECT_EQ(apiSetROI(4, 322, 6, 125, 32), -1);
    EXPECT_EQ(apiSetROI(4, 323, 7, 125, 32), -1);
    EXPECT_TRUE(logged("[ERR] [apiSetROI] bad y coordinates\n"));
    EXPECT_EQ(apiSetROI(4, 323, 6, 127, 32), -1);
    EXPECT_EQ(apiSetROI(4, 7, 6, 125, 32), -1);
    EXPECT_TRUE(logged("[ERR] [apiSetROI] size too small: min size = 6 x 2\n"));
    EXPECT_TRUE(cam_.wire_log().empty());

    ASSERT_EQ(apiSetROI(0, 159, 0, 59, 32), 0);
    EXPECT_EQ(sensor_writes(cam_.wire_log()),
              (std::vector<RegAccess>{write_of(150, {0, 0, 0, 159, 0, 59})}));
    EXPECT_EQ(model().pru_columns(), 160);
    EXPECT_EQ(model().pru_rows_per_half(), 60);
}

TEST_F(ConfigTest, ParametersAndFrameInformation) {
    ASSERT_EQ(configLoadParameters(), 0);
    for (const char *line :
         {"[configLoadParameters] ambientLightFactor = 250.0000\n",
          "[configLoadParameters] print = 0\n", "[configLoadParameters] diffTemp = 7\n",
          "[configLoadParameters] drnuDelay = 5000\n",
          "[configLoadParameters] numAveragedFrames = 25\n",
          "[configLoadParameters] epc635_TemperatureCoeff = 1.561310\n",
          "[configLoadParameters] epc660_TemperatureCoeff = 1.700000\n",
          "[configLoadParameters] speed of light div 2 = 149896229.00\n",
          "[configLoadParameters] epc660_IbTemperatureCoeff = 0.337650\n"})
        EXPECT_TRUE(logged(line)) << line;

    const int16_t header[2] = {-25, 413};
    temperatureSetTemperatureByFrameHeader(header);
    temperatureSetTemperatureByFrameHeader(nullptr);
    EXPECT_EQ(model().sensor_temperature(), -25);
    EXPECT_EQ(model().board_temperature(), 413);
    pruSetSize(160, 30);
    EXPECT_EQ(model().pru_columns(), 160);
    EXPECT_EQ(model().pru_rows_per_half(), 30);
    epcSetExtModEnable(7);
    EXPECT_EQ(epcgetExtModEnable(), 1);
}

TEST_F(ConfigTest, SmallSensorVariantsSetUpTheirOwnGeometry) {
    open_and_bind();
    configSetPartType(4);
    cam_.clear_wire_log();
    ASSERT_EQ(configInit(32), 0);
    const std::vector<RegAccess> writes = sensor_writes(cam_.wire_log());
    EXPECT_NE(std::find(writes.begin(), writes.end(), write_of(203, {99})), writes.end());
    EXPECT_EQ(calibrateGetWidth(), 160);
    EXPECT_EQ(calibrateGetHeight(), 60);
    EXPECT_EQ(model().pru_columns(), 160);
    EXPECT_EQ(model().pru_rows_per_half(), 60);
    EXPECT_EQ(model().pru_halves(), 1);
    EXPECT_EQ(model().small_sensor_setup().adc_overflow_high, 65503);
}

// Settings made before the camera is bound belong to it: the extended mode
// that the driver sets from the product text decides the bank.
TEST_F(ConfigTest, ExtendedModeSetBeforeBindingPicksBankZero) {
    write_images(images_name(), make_images(3, kWidth, kHeight, [](int k, int, int) {
                     return static_cast<uint16_t>(1000 + 100 * k);
                 }));
    epcSetExtModEnable(1);
    open_and_bind();
    EXPECT_EQ(model().calibration()->loaded_bank, 0);
    EXPECT_EQ(model().drnu_mode(), 2);
    EXPECT_TRUE(model().temperature_correction());
    epcSetExtModEnable(0);
    ASSERT_EQ(configInit(32), 0);
    EXPECT_EQ(model().calibration()->loaded_bank, 1);
}

}  // namespace
}  // namespace sensortest
