// The command channel on the real libusb: the bytes on the wire, busy and
// error status replies, a command that never completes, and an interface
// reset after which the camera comes back under a new address.
#include <array>
#include <chrono>
#include <cstring>

#include "sim/camera/camera_model.h"
#include "usbfs_fixture.h"

namespace nxtest {
namespace {

using RealUsbCommandTest = RealUsbTest;
using Bytes = std::vector<uint8_t>;
using nxsim::CameraModel;

struct Setup {
    uint8_t request_type, request;
    uint16_t value, length;
};

void expect_setup(const nxsim::WireRecord &record, Setup want) {
    EXPECT_EQ(record.request_type, want.request_type);
    EXPECT_EQ(record.request, want.request);
    EXPECT_EQ(record.value, want.value);
    EXPECT_EQ(record.index, 0);
    EXPECT_EQ(record.length, want.length);
}

void append_le32(Bytes &out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

TEST_F(RealUsbCommandTest, RegisterWriteAndSplitReadOnTheWire) {
    UsbfsCamera cam = add_camera();
    ll_device *ll = open(cam);
    cam.act([](CameraModel &m) { m.wire_log().clear(); });
    const uint32_t values[3] = {0x11223344, 5, 0xFFFFFFFF};
    ASSERT_TRUE(nivex_ll_reg_write(ll, 1, 0x40, values, 3));
    auto wire = cam.act([](CameraModel &m) { return m.wire_log(); });
    ASSERT_EQ(wire.size(), 2u);
    expect_setup(wire[0], {0x22, 0xC2, 0, 19});
    Bytes block{1};
    append_le32(block, 0x40);
    block.insert(block.end(), {12, 0});
    for (uint32_t v : values)
        append_le32(block, v);
    EXPECT_EQ(wire[0].data, block);
    expect_setup(wire[1], {0xA2, 0xB0, 0, 63});
    EXPECT_EQ(wire[1].data.size(), 63u);

    // 40 registers take three request/reply pairs of at most 16.
    cam.act([](CameraModel &m) {
        for (uint32_t i = 0; i < 40; ++i)
            m.registers().set(2, 0x100 + i, 0xA0000000 + i * 3);
        m.wire_log().clear();
    });
    uint32_t read[40] = {};
    ASSERT_TRUE(nivex_ll_reg_read(ll, 2, 0x100, read, 40));
    for (uint32_t i = 0; i < 40; ++i)
        EXPECT_EQ(read[i], 0xA0000000 + i * 3) << i;
    auto sent = commands_of(cam);
    ASSERT_EQ(sent.size(), 6u);
    const uint16_t counts[3] = {16, 16, 8};
    for (int x = 0; x < 3; ++x) {
        expect_setup(sent[2 * x], {0x22, 0xC2, 1, 7});
        expect_setup(sent[2 * x + 1], {0xA2, 0xC2, 1, static_cast<uint16_t>(4 * counts[x])});
        EXPECT_EQ(sent[2 * x + 1].data.size(), 4u * counts[x]);
    }
    EXPECT_EQ(status_queries_of(cam), 6);
}

TEST_F(RealUsbCommandTest, ParameterSetAndGetRoundTrip) {
    UsbfsCamera cam = add_camera();
    ll_device *ll = open(cam);
    cam.act([](CameraModel &m) { m.wire_log().clear(); });
    ll_param_entry set[2] = {};
    set[0].id = NIVEX_PARAM_FRAME_RATE;
    set[0].len = 4;
    set[0].val[0] = 15;
    set[1].id = NIVEX_PARAM_INTG_TIME;
    set[1].len = 2;
    set[1].val[0] = 0xF4;
    set[1].val[1] = 0x01;
    ASSERT_TRUE(nivex_ll_param_set(ll, set, 2));
    auto sent = commands_of(cam);
    ASSERT_EQ(sent.size(), 1u);
    expect_setup(sent[0], {0x22, 0xC0, 3, 40});
    const auto *raw = reinterpret_cast<const uint8_t *>(set);
    EXPECT_EQ(sent[0].data, Bytes(raw, raw + 40));
    EXPECT_EQ(cam.act([](CameraModel &m) { return m.params().frame_rate(); }), 15u);

    ll_param_entry got[4] = {};
    got[0].id = NIVEX_PARAM_FRAME_RATE;
    got[1].id = NIVEX_PARAM_INTG_TIME;
    got[2].id = NIVEX_PARAM_PRODUCT_STR;
    got[3].id = NIVEX_PARAM_FRAME_RATE;
    ASSERT_TRUE(nivex_ll_param_get(ll, got, 4));
    uint32_t fps = 0;
    std::memcpy(&fps, got[0].val, 4);
    EXPECT_EQ(fps, 15u);
    EXPECT_EQ(got[1].val[0], 0xF4);
    EXPECT_EQ(got[1].val[1], 0x01);
    EXPECT_STREQ(reinterpret_cast<const char *>(got[2].val), "NVX-E2-2.0b");
    EXPECT_EQ(got[3].len, 4);
    // Three entries per exchange: two request/reply pairs.
    EXPECT_EQ(commands_of(cam).size(), 5u);
}

TEST_F(RealUsbCommandTest, BusyIsAskedAgainAndAnErrorIsLoggedWithTheCamerasText) {
    UsbfsCamera cam = add_camera();
    ll_device *ll = open(cam);
    cam.act([](CameraModel &m) {
        m.wire_log().clear();
        m.faults().set_busy(2);
    });
    const uint32_t value = 7;
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    EXPECT_EQ(status_queries_of(cam), 3);

    cam.act([](CameraModel &m) { m.faults().set_error("sensor not ready", 0xC2, 1); });
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    EXPECT_EQ(log_count("ERR", "usb_ll_check_last_cmd", "sensor not ready"), 1);
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
}

TEST_F(RealUsbCommandTest, CommandThatNeverCompletesIsCancelledThenGivenUp) {
    UsbfsCamera cam = add_camera();
    ll_device *ll = open(cam);
    // The cancellation completes 1.5 s late: after the waiter has left.
    cam.act([](CameraModel &m) { m.faults().set_hang(1, 0xC2, 1500); });
    expect_unanswered_write_given_up(ll, [this] { return log(); });

    // The late completion frees the abandoned transfer; libusb had cancelled
    // it at its own time-out already. The channel works on.
    ASSERT_TRUE(eventually(
        [&] {
            return log_count("TRC", "_usb_ll_on_cmd_finish", "tx actual_len = 0, status  = 2") == 1;
        },
        2000ms));
    const uint32_t value = 7;
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    nivex_ll_dev_close(ll);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
}

TEST_F(RealUsbCommandTest, InterfaceResetReopensTheCameraUnderItsNewAddress) {
    UsbfsCamera cam = add_camera();
    ll_device *ll = open(cam);
    const uint8_t old_address = cam.address();
    cam.act([](CameraModel &m) { m.wire_log().clear(); });
    EXPECT_FALSE(nivex_ll_dev_reset(ll, 3));  // false even though the reopen worked

    auto sent = commands_of(cam);
    ASSERT_GE(sent.size(), 1u);
    expect_setup(sent[0], {0x22, 0xC0, 0, 4});
    EXPECT_EQ(sent[0].data, (Bytes{3, 0, 0, 0}));
    EXPECT_EQ(cam.act([](CameraModel &m) { return m.counters().resets; }), 1u);
    EXPECT_NE(cam.address(), old_address);
    ASSERT_NE(ll->priv, nullptr);
    EXPECT_EQ(log_count("WRN", "usb_ll_dev_reset", "reopen device failed!"), 0);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
    EXPECT_EQ(bus_->open_files(), 1u);  // the old node's file was closed
}

}  // namespace
}  // namespace nxtest
