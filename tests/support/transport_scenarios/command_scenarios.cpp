// The command channel: the bytes on the wire, the status query and its
// answers, split reads, time-outs and resets.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>

#include "support/transport_scenarios.h"

namespace nxtest {
namespace {

using namespace std::chrono_literals;
using UsbCommandTest = TransportTest;
using SetupPacket = std::array<uint8_t, 8>;
using Bytes = std::vector<uint8_t>;

const SetupPacket kStatusSetup{0xA2, 0xB0, 0, 0, 0, 0, 63, 0};

void append_le32(Bytes &out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes reg_request(uint8_t target, uint32_t first, uint16_t count) {
    Bytes out{target};
    append_le32(out, first);
    out.push_back(static_cast<uint8_t>(4 * count));
    out.push_back(static_cast<uint8_t>((4 * count) >> 8));
    return out;
}

ll_param_entry entry(uint8_t id) {
    ll_param_entry e{};
    e.id = id;
    e.len = 0xEE;  // stale content the get must clear
    std::memset(e.val, 0xEE, sizeof e.val);
    return e;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(UsbCommandTest, RegisterWriteIsOneRequestFollowedByStatus) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    const uint32_t values[3] = {0x11223344, 5, 0xFFFFFFFF};
    ASSERT_TRUE(nivex_ll_reg_write(ll, 1, 0x40, values, 3));

    auto wire = cam->wire_log();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].setup(), (SetupPacket{0x22, 0xC2, 0, 0, 0, 0, 19, 0}));
    Bytes block = reg_request(1, 0x40, 3);
    for (uint32_t v : values)
        append_le32(block, v);
    EXPECT_EQ(wire[0].data, block);
    EXPECT_EQ(wire[1].setup(), kStatusSetup);
    EXPECT_EQ(wire[1].data.size(), 63u);
    EXPECT_EQ(cam->reg(1, 0x40), 0x11223344u);
    EXPECT_EQ(cam->reg(1, 0x42), 0xFFFFFFFFu);
}

TEST_F(UsbCommandTest, RegisterReadMovesSixteenRegistersPerExchange) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    for (uint32_t i = 0; i < 40; ++i)
        cam->set_reg(2, 0x100 + i, 0xA0000000 + i * 3);
    cam->clear_wire_log();
    uint32_t values[41];
    values[40] = 0x5A5A5A5A;
    ASSERT_TRUE(nivex_ll_reg_read(ll, 2, 0x100, values, 40));
    for (uint32_t i = 0; i < 40; ++i)
        EXPECT_EQ(values[i], 0xA0000000 + i * 3) << i;
    EXPECT_EQ(values[40], 0x5A5A5A5Au);

    auto wire = cam->wire_log();
    ASSERT_EQ(wire.size(), 12u);
    const uint16_t counts[3] = {16, 16, 8};
    for (int x = 0; x < 3; ++x) {
        const uint8_t bytes = static_cast<uint8_t>(4 * counts[x]);
        EXPECT_EQ(wire[4 * x].setup(), (SetupPacket{0x22, 0xC2, 1, 0, 0, 0, 7, 0}));
        EXPECT_EQ(wire[4 * x].data, reg_request(2, 0x100 + 16 * x, counts[x]));
        EXPECT_EQ(wire[4 * x + 1].setup(), kStatusSetup);
        EXPECT_EQ(wire[4 * x + 2].setup(), (SetupPacket{0xA2, 0xC2, 1, 0, 0, 0, bytes, 0}));
        EXPECT_EQ(wire[4 * x + 2].data.size(), bytes);
        EXPECT_EQ(wire[4 * x + 3].setup(), kStatusSetup);
    }
}

TEST_F(UsbCommandTest, EmptyReadsAndGetsMakeNoTraffic) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, nullptr, 0));
    EXPECT_TRUE(nivex_ll_param_get(ll, nullptr, 0));
    EXPECT_TRUE(cam->wire_log().empty());
}

TEST_F(UsbCommandTest, ParameterGetMovesThreeEntriesPerExchange) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    ll_param_entry entries[4] = {entry(NIVEX_PARAM_FRAME_RATE), entry(NIVEX_PARAM_INTG_TIME),
                                 entry(NIVEX_PARAM_PRODUCT_STR), entry(NIVEX_PARAM_FRAME_RATE)};
    ASSERT_TRUE(nivex_ll_param_get(ll, entries, 4));

    auto sent = commands_of(*cam);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].setup(), (SetupPacket{0x22, 0xC0, 4, 0, 0, 0, 60, 0}));
    EXPECT_EQ(sent[1].setup(), (SetupPacket{0xA2, 0xC0, 4, 0, 0, 0, 60, 0}));
    EXPECT_EQ(sent[2].setup(), (SetupPacket{0x22, 0xC0, 4, 0, 0, 0, 20, 0}));
    EXPECT_EQ(sent[3].setup(), (SetupPacket{0xA2, 0xC0, 4, 0, 0, 0, 20, 0}));
    // The request carries the ids with cleared lengths and values.
    Bytes request(60, 0);
    request[0] = NIVEX_PARAM_FRAME_RATE;
    request[20] = NIVEX_PARAM_INTG_TIME;
    request[40] = NIVEX_PARAM_PRODUCT_STR;
    EXPECT_EQ(sent[0].data, request);
    EXPECT_EQ(status_queries_of(*cam), 4);

    uint32_t fps = 0;
    std::memcpy(&fps, entries[0].val, 4);
    EXPECT_EQ(entries[0].len, 4);
    EXPECT_EQ(fps, cam->frame_rate());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(entries[2].val)), "NVX-E2-2.0b");
    EXPECT_EQ(entries[3].id, NIVEX_PARAM_FRAME_RATE);
    EXPECT_EQ(entries[3].len, 4);
}

TEST_F(UsbCommandTest, ParameterSetIsOneRequestAndAGetReadsItBack) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    ll_param_entry entries[2] = {};
    entries[0].id = NIVEX_PARAM_FRAME_RATE;
    entries[0].len = 4;
    entries[0].val[0] = 15;
    entries[1].id = NIVEX_PARAM_INTG_TIME;
    entries[1].len = 2;
    entries[1].val[0] = 0xF4;
    entries[1].val[1] = 0x01;
    ASSERT_TRUE(nivex_ll_param_set(ll, entries, 2));

    auto wire = cam->wire_log();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].setup(), (SetupPacket{0x22, 0xC0, 3, 0, 0, 0, 40, 0}));
    const auto *raw = reinterpret_cast<const uint8_t *>(entries);
    EXPECT_EQ(wire[0].data, Bytes(raw, raw + 40));
    EXPECT_EQ(wire[1].setup(), kStatusSetup);
    EXPECT_EQ(cam->frame_rate(), 15u);

    ll_param_entry got[4] = {entry(NIVEX_PARAM_FRAME_RATE), entry(NIVEX_PARAM_INTG_TIME),
                             entry(NIVEX_PARAM_PRODUCT_STR), entry(NIVEX_PARAM_FRAME_RATE)};
    ASSERT_TRUE(nivex_ll_param_get(ll, got, 4));
    uint32_t fps = 0;
    std::memcpy(&fps, got[0].val, 4);
    EXPECT_EQ(fps, 15u);
    EXPECT_EQ(got[1].val[0], 0xF4);
    EXPECT_EQ(got[1].val[1], 0x01);
    EXPECT_STREQ(reinterpret_cast<const char *>(got[2].val), "NVX-E2-2.0b");
    EXPECT_EQ(got[3].len, 4);
    // The set, then two request/reply pairs of at most three entries.
    EXPECT_EQ(commands_of(*cam).size(), 5u);
}

TEST_F(UsbCommandTest, BusyStatusIsAskedAgain) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    cam->inject_busy(2);
    const uint32_t value = 7;
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    EXPECT_EQ(status_queries_of(*cam), 3);
    EXPECT_EQ(cam->faults().busy_replies, 2u);
}

TEST_F(UsbCommandTest, ErrorStatusLogsTheCamerasText) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->inject_error("sensor not ready", 0xC2);
    const uint32_t value = 7;
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    EXPECT_EQ(log_count("ERR", "usb_ll_check_last_cmd", "sensor not ready"), 1);
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));  // the error struck once
}

TEST_F(UsbCommandTest, StatusOfAnotherCommandIsRejected) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    uint32_t value = 0;
    ASSERT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));  // last command: (0xC2, 1)
    EXPECT_FALSE(nivex_ll_check_last_cmd(ll, 0xC0, 4));
    EXPECT_EQ(log_count("WRN", "usb_ll_check_last_cmd",
                        "last cmd (t=194,v=1) is not as expect(t=192,v=4)"),
              1);
}

TEST_F(UsbCommandTest, ShortReplyFailsButIsCopied) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    const uint32_t value = 7;
    ASSERT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    uint8_t reply[100];
    std::memset(reply, 0x5A, sizeof reply);
    // The status reply has 63 bytes, not the 100 asked for.
    EXPECT_FALSE(nivex_ll_exe_cmd(ll, 0, 0xB0, 0, reply, sizeof reply, 1000));
    EXPECT_EQ(reply[1], 0xC2);
    EXPECT_EQ(reply[99], 0x5A);
    EXPECT_EQ(log_count("ERR", "usb_ll_exe_cmd", "exe usb cmd failed: short transfer, 63 of 100"),
              1);
}

TEST_F(UsbCommandTest, OversizedRequestsAreRefusedWithoutTraffic) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    std::vector<uint32_t> values(16383, 1);
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, values.data(), 16383));
    std::vector<ll_param_entry> entries(3277);
    EXPECT_FALSE(nivex_ll_param_set(ll, entries.data(), 3277));
    EXPECT_FALSE(nivex_ll_param_set(ll, entries.data(), -1));
    std::vector<uint8_t> data(70000);
    EXPECT_FALSE(nivex_ll_exe_cmd(ll, 1, 0xCC, 0, data.data(), 70000, 1000));
    EXPECT_FALSE(nivex_ll_exe_cmd(ll, 1, 0xCC, 0, data.data(), -1, 1000));
    EXPECT_FALSE(nivex_ll_exe_cmd(ll, 1, 0xCC, 0, nullptr, 4, 1000));
    EXPECT_TRUE(cam->wire_log().empty());
}

// A register write is one request of 7 + 4 x count bytes: the largest one
// libusb takes goes out whole (whether the camera has that many registers is
// its own business), one register more never reaches the wire.
TEST_F(UsbCommandTest, LargestRegisterWriteLibusbTakesGoesOutWhole) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    const int largest = (rig().control_data_limit() - 7) / 4;
    std::vector<uint32_t> values(static_cast<size_t>(largest) + 1, 1);
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, values.data(), static_cast<uint32_t>(largest + 1)));
    EXPECT_TRUE(cam->wire_log().empty());
    nivex_ll_reg_write(ll, 1, 0, values.data(), static_cast<uint32_t>(largest));
    auto sent = commands_of(*cam);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 7 + 4 * largest);
    EXPECT_EQ(sent[0].data.size(), sent[0].length);
}

// A register write the camera never answers completes only 3 s after its
// cancellation: long after the transport has cancelled it (at its 1 s
// time-out) and given up on it (1 s later).
TEST_F(UsbCommandTest, CommandThatNeverCompletesIsCancelledThenGivenUp) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->inject_hang(0xC2, 3000);
    const uint32_t value = 7;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    EXPECT_GT(seconds_since(start), 1.8);
    // The waiter left; libusb still holds the abandoned transfer.
    EXPECT_GE(rig().transfers_outstanding(), 1);

    const std::string text = log();
    auto cancel = log_lines_in(text, "WRN", "usb_ll_exe_cmd", "contrl trans timeout , cancel it");
    auto give_up = log_lines_in(text, "ERR", "usb_ll_exe_cmd", "control transfer timeout !");
    ASSERT_EQ(cancel.size(), 1u);
    ASSERT_EQ(give_up.size(), 1u);
    EXPECT_GT(stamp_ms(give_up[0]) - stamp_ms(cancel[0]), 800);
    EXPECT_EQ(
        log_lines_in(text, "ERR", "usb_ll_exe_cmd", "exe usb cmd failed: LIBUSB_ERROR_TIMEOUT")
            .size(),
        1u);

    // The late completion frees the abandoned transfer on the event thread.
    // It ends timed out or cancelled: libusb's time-out and the transport's
    // cancellation fall due together, and a loaded machine picks the first.
    EXPECT_TRUE(eventually([&] { return rig().transfers_outstanding() == 0; }, 20000ms));
    std::vector<std::string> late;
    EXPECT_TRUE(eventually(
        [&] {
            return (late = log_lines("TRC", "_usb_ll_on_cmd_finish", "tx actual_len = 0,"))
                       .size() == 1;
        },
        20000ms));
    ASSERT_EQ(late.size(), 1u);
    EXPECT_TRUE(late[0].ends_with("status  = 2") || late[0].ends_with("status  = 3")) << late[0];
    if (rig().transfers_allocated()) {
        EXPECT_TRUE(eventually([&] { return rig().transfers_allocated() == 16; }));
    }
    // The channel works on, and the session closes cleanly.
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    nivex_ll_dev_close(ll);
    EXPECT_EQ(log_count("ERR", "usb_ll_dev_close", ""), 0);
}

TEST_F(UsbCommandTest, BusyCameraIsGivenUpOn) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->inject_busy(1000000);
    const uint32_t value = 7;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, &value, 1));
    EXPECT_GT(seconds_since(start), 9.5);
    EXPECT_EQ(log_count("ERR", "usb_ll_check_last_cmd", "camera still busy"), 1);
}

TEST_F(UsbCommandTest, ResetForwardsItsTarget) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    EXPECT_TRUE(nivex_ll_dev_reset(ll, 5));
    auto wire = cam->wire_log();
    ASSERT_EQ(wire.size(), 2u);
    EXPECT_EQ(wire[0].setup(), (SetupPacket{0x22, 0xC0, 0, 0, 0, 0, 4, 0}));
    EXPECT_EQ(wire[0].data, (Bytes{5, 0, 0, 0}));
    EXPECT_EQ(wire[1].setup(), kStatusSetup);
    EXPECT_EQ(log_count("TRC", "usb_ll_dev_reset", "rest device (target=5)"), 1);
}

TEST_F(UsbCommandTest, InterfaceResetReopensTheCameraUnderItsNewAddress) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    const uint8_t old_address = cam->address();
    cam->clear_wire_log();
    EXPECT_FALSE(nivex_ll_dev_reset(ll, 3));  // false even though the reopen worked

    auto sent = commands_of(*cam);
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup(), (SetupPacket{0x22, 0xC0, 0, 0, 0, 0, 4, 0}));
    EXPECT_EQ(sent[0].data, (Bytes{3, 0, 0, 0}));
    EXPECT_EQ(cam->counters().resets, 1u);
    EXPECT_NE(cam->address(), old_address);
    ASSERT_NE(ll->priv, nullptr);
    EXPECT_EQ(ll->usb_addr, old_address);
    EXPECT_EQ(log_count("TRC", "usb_ll_dev_reset", "Reset usb if end."), 1);
    EXPECT_EQ(log_count("WRN", "usb_ll_dev_reset", "reopen device failed!"), 0);
    uint32_t value = 0;
    EXPECT_TRUE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
    // The handle on the old address was let go.
    EXPECT_TRUE(eventually([&] { return rig().open_handles() == 1; }));
}

TEST_F(UsbCommandTest, InterfaceResetOfAClosedSessionOpensNothing) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    nivex_ll_dev_close(ll);
    EXPECT_FALSE(nivex_ll_dev_reset(ll, 3));
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(cam->counters().resets, 0u);
}

}  // namespace
}  // namespace nxtest
