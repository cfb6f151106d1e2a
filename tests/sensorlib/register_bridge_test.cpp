// The register bridge: every operation, its refusals and messages, against
// the camera's wire log.
#include <gtest/gtest.h>

#include <array>

#include "sensor_fixture.h"

namespace sensortest {
namespace {

class BridgeTest : public SensorTest {
  protected:
    int call(char op, int reg, int count, uint8_t *bytes, int dev_addr = 32) {
        return i2c(dev_addr, op, reg, count, &bytes);
    }
};

TEST_F(BridgeTest, ListingTouchesNoDevice) {
    std::array<uint8_t, 2> list{};
    EXPECT_EQ(call('d', 0, 2, list.data()), 0);  // no device bound at all
    EXPECT_EQ(list, (std::array<uint8_t, 2>{32, 255}));
    open_and_bind();
    cam_.clear_wire_log();
    list = {};
    EXPECT_EQ(call('d', 0, 2, list.data()), 0);
    EXPECT_EQ(list, (std::array<uint8_t, 2>{32, 255}));
    EXPECT_TRUE(cam_.wire_log().empty());
}

TEST_F(BridgeTest, WritesAndReadsRegisterRunsOfTargetOne) {
    open_and_bind();
    cam_.clear_wire_log();
    std::array<uint8_t, 3> out = {0x81, 0x7F, 0x00};
    ASSERT_EQ(call('w', 148, 3, out.data()), 0);
    EXPECT_EQ(sensor_writes(cam_.wire_log()),
              (std::vector<RegAccess>{write_of(148, {0x81, 0x7F, 0x00})}));
    EXPECT_EQ(cam_.reg(1, 148), 0x81u);

    cam_.set_reg(1, 200, 0x1234);  // a wide value: only its low byte is the register's
    cam_.set_reg(1, 201, 0x56);
    std::array<uint8_t, 3> in = {0xEE, 0xEE, 0xEE};
    ASSERT_EQ(call('r', 200, 2, in.data()), 0);
    EXPECT_EQ(in, (std::array<uint8_t, 3>{0x34, 0x56, 0xEE}));
}

TEST_F(BridgeTest, SoftwareResetResetsTheSensorRegisters) {
    open_and_bind();
    cam_.set_reg(1, 0x85, 7);
    cam_.clear_wire_log();
    ASSERT_EQ(call('s', 0, 0, nullptr), 0);
    auto wire = cam_.wire_log();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0].request, 0xC0);
    EXPECT_EQ(wire[0].value, 0);  // reset
    EXPECT_EQ(wire[0].data, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(cam_.reg(1, 0x85), 1u);  // power-on divider
}

TEST_F(BridgeTest, RefusalsAndTheirMessagesGoToTheLogOnly) {
    open_and_bind();
    cam_.clear_wire_log();
    std::array<uint8_t, 300> buf{};
    buf.fill(0xAA);
    testing::internal::CaptureStdout();
    EXPECT_EQ(call('r', 0, 1, buf.data(), 128), -1);
    EXPECT_EQ(call('r', 0, 1, buf.data(), -1), -1);
    EXPECT_EQ(call('r', 256, 1, buf.data()), -1);
    EXPECT_EQ(call('r', 0, 258, buf.data()), -1);  // more than the 257-value buffer
    EXPECT_EQ(call('w', 0, 258, buf.data()), -1);
    EXPECT_EQ(call('x', 0, 1, buf.data()), -1);
    EXPECT_EQ(call('l', 0, 0, buf.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(cam_.wire_log().empty());
    EXPECT_EQ(buf[0], 0xAA);
    EXPECT_TRUE(logged("[ERR] [i2c] Device address is out of range.\n"));
    EXPECT_TRUE(logged("[ERR] [i2c] Register address is out of range.\n"));
    EXPECT_TRUE(logged("[WRN] [i2c] rw much data: 258\n"));
    EXPECT_TRUE(
        logged("[ERR] [i2c] Invalid operation: Only 'd' (devices), 'r' (read), 'w' "
               "(write) and 's' (software reset) are allowed.\n"));
    EXPECT_TRUE(logged("[i2c] uncompleted function : <i2c device reload>!\n"));
}

TEST_F(BridgeTest, FailedTrafficAndNoDeviceFailWithTheirMessages) {
    std::array<uint8_t, 1> buf = {5};
    EXPECT_EQ(call('r', 0x82, 1, buf.data()), -1);  // no current device
    EXPECT_EQ(call('w', 0x82, 1, buf.data()), -1);
    EXPECT_EQ(call('s', 0, 0, buf.data()), -1);
    EXPECT_TRUE(logged("[ERR] [i2c] reg read faild!\n"));
    EXPECT_TRUE(logged("[ERR] [i2c] reg write fail!\n"));
    EXPECT_TRUE(logged("[ERR] [i2c] reset tfc device failed!\n"));

    open_and_bind();
    cam_.inject_error("refused", 0xC2, 2);
    EXPECT_EQ(call('w', 0x10, 1, buf.data()), -1);
    EXPECT_EQ(call('r', 0x10, 1, buf.data()), -1);
    EXPECT_EQ(cam_.reg(1, 0x10), 0u);
}

}  // namespace
}  // namespace sensortest
