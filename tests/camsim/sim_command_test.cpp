// The camera's command channel as a host sees it on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "usb_client.h"

namespace simtest {
namespace {

class SimCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nxsim::reset();
        cam_ = nxsim::add_camera();
        session_ = std::make_unique<Session>(cam_);
        ASSERT_TRUE(session_->ok());
        h_ = session_->handle();
    }
    void TearDown() override {
        session_.reset();
        nxsim::reset();
    }

    // A command followed by its status query; returns the status byte.
    int command(uint8_t request, uint16_t sub, Bytes data) {
        if (send(h_, request, sub, std::move(data)) < 0) return -1;
        Bytes reply = status(h_);
        if (reply.size() != 63 || reply[1] != request || reply[2] != (sub & 0xFF)) return -2;
        return reply[0];
    }
    std::string message() {
        Bytes reply = status(h_);
        return std::string(reinterpret_cast<const char *>(reply.data() + 3));
    }
    static Bytes reg_block(uint8_t target, uint32_t base, uint16_t count) {
        Bytes b{target};
        put_le32(b, base);
        b.push_back(static_cast<uint8_t>(4 * count));
        b.push_back(static_cast<uint8_t>((4 * count) >> 8));
        return b;
    }
    static Bytes param_ids(std::initializer_list<uint8_t> ids) {
        Bytes b;
        for (uint8_t id : ids) {
            b.push_back(id);
            b.resize(b.size() + 19, 0);
        }
        return b;
    }

    nxsim::Camera cam_;
    std::unique_ptr<Session> session_;
    libusb_device_handle *h_ = nullptr;
};

TEST_F(SimCommandTest, ParameterGetWithItsStatusQueries) {
    cam_.clear_wire_log();
    ASSERT_EQ(command(0xC0, 4, param_ids({12, 3, 15})), 0);
    Bytes reply(60);
    ASSERT_EQ(receive(h_, 0xC0, 4, reply), 60);
    ASSERT_EQ(status(h_)[0], 0);

    EXPECT_EQ(reply[0], 12);
    EXPECT_EQ(reply[1], 4);
    EXPECT_EQ(le32(&reply[2]), 30u);
    EXPECT_EQ(reply[20], 3);
    EXPECT_EQ(reply[21], std::string("NVX-E2-2.0b").size());
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&reply[22]), 11), "NVX-E2-2.0b");
    EXPECT_EQ(reply[40], 15);
    EXPECT_EQ(reply[41], 10);  // five readings
    EXPECT_EQ(static_cast<int16_t>(reply[42] | reply[43] << 8), 412);

    // The wire log holds every request with its bytes, in order.
    auto log = cam_.wire_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].setup(), (std::array<uint8_t, 8>{0x22, 0xC0, 4, 0, 0, 0, 60, 0}));
    EXPECT_EQ(log[0].data, param_ids({12, 3, 15}));
    EXPECT_EQ(log[1].setup(), (std::array<uint8_t, 8>{0xA2, 0xB0, 0, 0, 0, 0, 63, 0}));
    EXPECT_EQ(log[1].data.size(), 63u);
    EXPECT_EQ(log[2].data, reply);
    EXPECT_TRUE(log[2].is_in());
}

TEST_F(SimCommandTest, ParameterIdsAndLimits) {
    // Every id the library uses is answered, with its length.
    const std::pair<uint8_t, uint8_t> lengths[] = {{0, 1},  {2, 14}, {3, 11},  {5, 8},
                                                   {6, 8},  {7, 6},  {8, 17},  {10, 1},
                                                   {12, 4}, {13, 2}, {15, 10}, {17, 3}};
    for (auto [id, length] : lengths) {
        ASSERT_EQ(command(0xC0, 4, param_ids({id})), 0) << int(id);
        Bytes reply(20);
        ASSERT_EQ(receive(h_, 0xC0, 4, reply), 20);
        EXPECT_EQ(reply[1], length) << int(id);
    }
    EXPECT_EQ(command(0xC0, 4, param_ids({12, 12, 12, 12})), 0xFF);  // at most 3 per get
    EXPECT_EQ(command(0xC0, 4, param_ids({99})), 0xFF);
    EXPECT_EQ(message(), "unknown parameter id 99");
}

TEST_F(SimCommandTest, ParameterSetIsCheckedWhole) {
    Bytes set = param_ids({12, 13});
    set[1] = 4;
    set[2] = 15;
    set[21] = 2;
    set[22] = 0xF4;
    set[23] = 0x01;
    ASSERT_EQ(command(0xC0, 3, set), 0);
    EXPECT_EQ(cam_.frame_rate(), 15u);
    EXPECT_EQ(cam_.param(13), (Bytes{0xF4, 0x01}));

    // A read-only id in the batch refuses all of it.
    Bytes bad = param_ids({12, 3});
    bad[2] = 60;
    EXPECT_EQ(command(0xC0, 3, bad), 0xFF);
    EXPECT_EQ(message(), "parameter 3 is read-only");
    EXPECT_EQ(cam_.frame_rate(), 15u);
    Bytes zero_rate = param_ids({12});
    EXPECT_EQ(command(0xC0, 3, zero_rate), 0xFF);
}

TEST_F(SimCommandTest, RegisterReadOfSixteenAtMostPerExchange) {
    for (uint32_t i = 0; i < 40; ++i)
        cam_.set_reg(1, 0x40 + i, 0x100 + i);
    EXPECT_EQ(cam_.reg(1, 0x82), 23u);  // power-on values the sensor model needs
    EXPECT_EQ(cam_.reg(1, 0x81), 0u);

    std::vector<uint32_t> values;
    for (uint32_t base = 0x40; base < 0x40 + 40; base += 16) {
        uint16_t n = static_cast<uint16_t>(std::min<uint32_t>(16, 0x40 + 40 - base));
        ASSERT_EQ(command(0xC2, 1, reg_block(1, base, n)), 0);
        Bytes reply(4 * n);
        ASSERT_EQ(receive(h_, 0xC2, 1, reply), 4 * n);
        ASSERT_EQ(status(h_)[0], 0);
        for (uint16_t i = 0; i < n; ++i)
            values.push_back(le32(&reply[4 * i]));
    }
    ASSERT_EQ(values.size(), 40u);
    for (uint32_t i = 0; i < 40; ++i)
        EXPECT_EQ(values[i], 0x100 + i);

    EXPECT_EQ(command(0xC2, 1, reg_block(1, 0, 17)), 0xFF);
    EXPECT_EQ(command(0xC2, 1, reg_block(1, 250, 8)), 0xFF);  // past the 256 sensor registers
    EXPECT_EQ(command(0xC2, 1, reg_block(9, 0, 1)), 0xFF);
    EXPECT_EQ(message(), "unknown register target 9");
}

TEST_F(SimCommandTest, RegisterWriteOfAnyCount) {
    Bytes block = reg_block(0, 0x1000, 1000);
    for (uint32_t i = 0; i < 1000; ++i)
        put_le32(block, i * 7);
    ASSERT_EQ(command(0xC2, 0, block), 0);
    EXPECT_EQ(cam_.reg(0, 0x1000 + 999), 999u * 7);
    Bytes wrong_count = reg_block(1, 0, 2);
    put_le32(wrong_count, 1);
    EXPECT_EQ(command(0xC2, 0, wrong_count), 0xFF);
}

TEST_F(SimCommandTest, UnknownRequestsAndUnaskedReadsAnswerWithErrorStatus) {
    EXPECT_EQ(command(0xC7, 0, {1}), 0xFF);
    EXPECT_EQ(message(), "unknown request 0xC7");
    EXPECT_EQ(command(0xC0, 9, {}), 0xFF);
    Bytes info(16);
    EXPECT_EQ(receive(h_, 0xCC, 0, info), 16);  // no request first; the data stage completes
    Bytes reply = status(h_);
    EXPECT_EQ(reply[0], 0xFF);
    EXPECT_EQ(reply[1], 0xCC);
    EXPECT_EQ(cam_.counters().error_statuses, 3u);
}

TEST_F(SimCommandTest, BusyAndInjectedErrorFaults) {
    cam_.inject_busy(2);
    Bytes reg = reg_block(1, 0x10, 1);
    put_le32(reg, 5);
    ASSERT_GE(send(h_, 0xC2, 0, reg), 0);
    EXPECT_EQ(status(h_)[0], 0xFE);
    EXPECT_EQ(status(h_)[0], 0xFE);
    EXPECT_EQ(status(h_)[0], 0x00);
    EXPECT_EQ(cam_.faults().busy_replies, 2u);

    cam_.inject_error("sensor not ready", 0xC2);
    EXPECT_EQ(command(0xC0, 4, param_ids({12})), 0);  // other requests pass
    Bytes ignored(20);
    receive(h_, 0xC0, 4, ignored);
    Bytes changed = reg_block(1, 0x10, 1);
    put_le32(changed, 9);
    EXPECT_EQ(command(0xC2, 0, changed), 0xFF);
    EXPECT_EQ(message(), "sensor not ready");
    EXPECT_EQ(cam_.reg(1, 0x10), 5u);  // a refused command has no effect
    EXPECT_EQ(cam_.faults().error_replies, 1u);
    EXPECT_EQ(command(0xC2, 0, changed), 0);
}

TEST_F(SimCommandTest, HungTransferCompletesOnlyWhenCancelled) {
    cam_.inject_hang(1, 0xC2, 80);
    Transfer t;
    Bytes reg = reg_block(1, 0, 1);
    put_le32(reg, 1);
    t.fill_control(h_, 0x22, 0xC2, 0, reg, 0);  // no time-out: nothing else ends it
    ASSERT_EQ(t.submit(), 0);
    EXPECT_FALSE(pump_until(
        session_->ctx(), [&] { return t.done(); }, 150ms));
    ASSERT_EQ(libusb_cancel_transfer(t.get()), 0);
    const auto cancelled_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(pump_until(session_->ctx(), [&] { return t.done(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - cancelled_at, 70ms);
    EXPECT_EQ(t.status(), LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(cam_.faults().hung_transfers, 1u);
    EXPECT_TRUE(cam_.wire_log().back().hung);
    EXPECT_EQ(cam_.reg(1, 0), 0u);  // never executed
}

TEST_F(SimCommandTest, InterfaceResetReenumeratesOnTheSamePort) {
    const uint8_t address = cam_.address();
    Bytes target;
    put_le32(target, 3);
    ASSERT_EQ(send(h_, 0xC0, 0, target), 4);  // answered before the camera leaves
    EXPECT_FALSE(cam_.attached());
    EXPECT_EQ(libusb_clear_halt(h_, 0x81), LIBUSB_ERROR_NO_DEVICE);
    session_.reset();

    Session early(cam_);
    EXPECT_FALSE(early.ok());
    ASSERT_TRUE(wait_for([&] { return cam_.attached(); }));
    EXPECT_NE(cam_.address(), address);
    EXPECT_EQ(cam_.port(), 1);
    Session again(cam_);
    EXPECT_TRUE(again.ok());
    EXPECT_EQ(cam_.counters().enumerations, 2u);
}

TEST_F(SimCommandTest, BoardResetRestoresPowerOnState) {
    Bytes set = param_ids({12});
    set[1] = 4;
    set[2] = 5;
    ASSERT_EQ(command(0xC0, 3, set), 0);
    cam_.set_reg(1, 0x82, 0);
    Bytes target;
    put_le32(target, 0);
    ASSERT_EQ(command(0xC0, 0, target), 0);
    EXPECT_EQ(cam_.frame_rate(), 30u);
    EXPECT_EQ(cam_.reg(1, 0x82), 23u);
    EXPECT_TRUE(cam_.attached());
    Bytes bad;
    put_le32(bad, 9);
    EXPECT_EQ(command(0xC0, 0, bad), 0xFF);
}

}  // namespace
}  // namespace simtest
