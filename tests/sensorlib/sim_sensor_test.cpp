// The simulated camera's sensor, as the library relies on it: clock
// registers that decide the modulation frequency, the fused delay code, and
// parameters 13 and 15 answered from the camera's state.
#include <gtest/gtest.h>

#include "sensor_fixture.h"

namespace sensortest {
namespace {

using SimSensorTest = SensorTest;

TEST_F(SimSensorTest, ModulationFrequencyFollowsTheClockRegisters) {
    cam_ = add_sensor_camera();
    EXPECT_EQ(cam_.reg(1, 0x82), 23u);
    EXPECT_EQ(cam_.reg(1, 0x81), 0u);
    EXPECT_EQ(cam_.modulation_khz(), 12000u);
    cam_.set_reg(1, 0x85, 0);
    EXPECT_EQ(cam_.modulation_khz(), 24000u);
    cam_.set_reg(1, 0x80, 127);
    EXPECT_EQ(cam_.modulation_khz(), 36000u);
    cam_.set_reg(1, 0x80, 63);
    cam_.set_reg(1, 0x81, 0x20);  // PLL 24 MHz
    cam_.set_reg(1, 0x85, 3);
    EXPECT_EQ(cam_.modulation_khz(), 1500u);
}

TEST_F(SimSensorTest, DelayCodeIsConfiguredAndCannotBeWritten) {
    ASSERT_EQ(nxsim::configure("product=NVX-T0-1.0,delay_code=138"), "");
    cam_ = nxsim::cameras().at(0);
    ASSERT_EQ(open_first(), &dev_);
    uint32_t code = 0;
    ASSERT_TRUE(nivex_reg_batch_read(&dev_, 1, 0xE9, &code, 1));
    EXPECT_EQ(code, 138u);
    const uint32_t other = 5;
    ASSERT_TRUE(nivex_reg_batch_write(&dev_, 1, 0xE9, &other, 1));
    ASSERT_TRUE(nivex_reg_batch_write(&dev_, 1, 0x71, &other, 1));
    EXPECT_EQ(cam_.reg(1, 0xE9), 138u);
    ASSERT_TRUE(nivex_dev_reset(&dev_, 1));
    EXPECT_EQ(cam_.reg(1, 0xE9), 138u);
    EXPECT_EQ(cam_.reg(1, 0x71), 0u);
    EXPECT_NE(nxsim::configure("delay_code=256"), "");
}

TEST_F(SimSensorTest, IntegrationTimeAndTemperaturesAreCameraState) {
    cam_ = add_sensor_camera();
    ASSERT_EQ(open_first(), &dev_);
    nivex_param_entry intg{};
    intg.param_id = NIVEX_PARAM_INTG_TIME;
    intg.param_val_len = 2;
    intg.param_val.u16 = 1500;
    ASSERT_TRUE(nivex_param_batch_set(&dev_, &intg, 1));
    EXPECT_EQ(cam_.integration_time(), 1500);

    cam_.set_temperatures(-12, 455);
    nivex_param_entry temps{};
    temps.param_id = NIVEX_PARAM_TEMPERATURE;
    ASSERT_TRUE(nivex_param_batch_get(&dev_, &temps, 1));
    ASSERT_EQ(temps.param_val_len, 10);
    int sum = 0;
    for (int i = 0; i < 4; ++i)
        sum += temps.param_val.i16[i];
    const int board = temps.param_val.i16[4];
    EXPECT_EQ(sum / 4, -12);  // four sensor readings around the sensor temperature
    EXPECT_EQ(board, 455);
    EXPECT_EQ(cam_.sensor_temperature(), -12);
    EXPECT_EQ(cam_.board_temperature(), 455);
}

}  // namespace
}  // namespace sensortest
