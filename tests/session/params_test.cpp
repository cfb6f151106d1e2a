// Parameter batches and register runs through the public API.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "support/sim_fixture.h"

namespace {

using nxtest::SimTest;

class ParamsTest : public SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        cam_ = add_camera();
        ASSERT_EQ(open_first(), &dev_);
        cam_.clear_wire_log();
    }
    nxsim::Camera cam_;
};

nivex_param_entry entry(uint32_t id) {
    nivex_param_entry e{};
    e.param_id = static_cast<nivex_param_id>(id);
    return e;
}

TEST_F(ParamsTest, FrameRateRoundTrip) {
    nivex_param_entry fps = entry(NIVEX_PARAM_FRAME_RATE);
    fps.param_val_len = 4;
    fps.param_val.u32 = 15;
    ASSERT_TRUE(nivex_param_batch_set(&dev_, &fps, 1));
    EXPECT_TRUE(logged("[DBG] [_nivex_param_batch_set] Set FPS:15\n"));
    EXPECT_EQ(cam_.frame_rate(), 15u);

    nivex_param_entry back = entry(NIVEX_PARAM_FRAME_RATE);
    ASSERT_TRUE(nivex_param_batch_get(&dev_, &back, 1));
    EXPECT_EQ(back.param_val_len, 4);
    uint32_t value = back.param_val.u32;  // packed member: read by value
    EXPECT_EQ(value, 15u);
    EXPECT_EQ(back.param_id, NIVEX_PARAM_FRAME_RATE);
}

TEST_F(ParamsTest, OnlyTheLowByteOfTheIdTravels) {
    nivex_param_entry fps = entry(268);  // 0x10C
    fps.param_val_len = 4;
    fps.param_val.u32 = 12;
    ASSERT_TRUE(nivex_param_batch_set(&dev_, &fps, 1));
    std::vector<nxsim::WireRecord> wire = cam_.wire_log();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0].request, 0xC0);
    EXPECT_EQ(wire[0].value, 3);
    ASSERT_EQ(wire[0].data.size(), 20u);
    EXPECT_EQ(wire[0].data[0], 12);
    EXPECT_EQ(wire[0].data[1], 4);
    EXPECT_EQ(wire[0].data[2], 12);
    EXPECT_EQ(cam_.frame_rate(), 12u);
}

TEST_F(ParamsTest, BatchGetOfSeveralIdsKeepsOrder) {
    std::vector<nivex_param_entry> items = {
        entry(NIVEX_PARAM_PRODUCT_STR), entry(NIVEX_PARAM_FRAME_RATE), entry(NIVEX_PARAM_CHIP_INFO),
        entry(NIVEX_PARAM_TEMPERATURE)};
    ASSERT_TRUE(nivex_param_batch_get(&dev_, items.data(), 4));
    EXPECT_STREQ(items[0].param_val.str, "NVX-T0-1.0");
    // Packed members are read by value.
    uint32_t fps = items[1].param_val.u32;
    uint16_t chip_id = items[2].param_val.u16s[1];
    int16_t sensor_temp = items[3].param_val.i16[0];
    EXPECT_EQ(fps, 30u);
    EXPECT_EQ(chip_id, 7);
    EXPECT_EQ(items[3].param_val_len, 10);
    EXPECT_EQ(sensor_temp, 412);
}

TEST_F(ParamsTest, FailedGetLeavesTheCallersEntriesAlone) {
    cam_.inject_error("no such parameter", 0xC0);
    nivex_param_entry e = entry(NIVEX_PARAM_FRAME_RATE);
    e.param_val_len = 77;
    EXPECT_FALSE(nivex_param_batch_get(&dev_, &e, 1));
    EXPECT_EQ(e.param_val_len, 77);
    EXPECT_TRUE(logged("no such parameter"));
}

TEST_F(ParamsTest, RegisterWriteAndRead) {
    const uint32_t values[3] = {0x11, 0x22, 0x33};
    ASSERT_TRUE(nivex_reg_batch_write(&dev_, 1, 0x40, values, 3));
    EXPECT_EQ(cam_.reg(1, 0x41), 0x22u);
    uint32_t back[3] = {};
    ASSERT_TRUE(nivex_reg_batch_read(&dev_, 1, 0x40, back, 3));
    EXPECT_EQ(std::memcmp(back, values, sizeof values), 0);
    uint32_t defaults[1] = {};
    ASSERT_TRUE(nivex_reg_batch_read(&dev_, 1, 0x82, defaults, 1));
    EXPECT_EQ(defaults[0], 23u);
}

TEST_F(ParamsTest, CountAndTargetAreNarrowed) {
    cam_.set_reg(1, 0x10, 0xABCD);
    uint32_t regs[2] = {0, 0xFFFFFFFF};
    ASSERT_TRUE(nivex_reg_batch_read(&dev_, 0x101, 0x10, regs, 65537));  // one register of target 1
    EXPECT_EQ(regs[0], 0xABCDu);
    EXPECT_EQ(regs[1], 0xFFFFFFFFu);
    EXPECT_TRUE(logged("[TRC] [nivex_reg_batch_read] target=257,reg_base=16,reg_cnt=1,val_buf="));
}

TEST_F(ParamsTest, BadArgumentsAreRefusedWithoutTraffic) {
    nivex_param_entry e = entry(NIVEX_PARAM_FRAME_RATE);
    EXPECT_FALSE(nivex_param_batch_get(&dev_, nullptr, 1));
    EXPECT_FALSE(nivex_param_batch_get(&dev_, &e, 0));
    EXPECT_FALSE(nivex_param_batch_get(&dev_, &e, -5));
    EXPECT_FALSE(nivex_param_batch_set(&dev_, nullptr, 3));
    EXPECT_FALSE(nivex_param_batch_set(&dev_, &e, -1));
    std::vector<nivex_param_entry> many(4000, e);
    EXPECT_FALSE(nivex_param_batch_set(&dev_, many.data(), 4000));  // beyond one transfer
    EXPECT_FALSE(nivex_reg_batch_read(&dev_, 1, 0, nullptr, 4));
    EXPECT_FALSE(nivex_reg_batch_write(&dev_, 1, 0, nullptr, 4));
    EXPECT_TRUE(cam_.wire_log().empty());
    EXPECT_EQ(dev_.api_busy, 0);
}

TEST_F(ParamsTest, HugeCountIsRefusedNotAllocated) {
    nivex_param_entry e = entry(NIVEX_PARAM_FRAME_RATE);
    // INT_MAX entries would need 40 GB: the call must fail, not crash.
    EXPECT_FALSE(nivex_param_batch_set(&dev_, &e, INT_MAX));
}

}  // namespace
