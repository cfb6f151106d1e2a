// The forwarding layer: absent and unopened sessions, and the narrowing of
// arguments on their way to the transport.
#include <gtest/gtest.h>

#include <cstring>

#include "support/transport_scenarios.h"

namespace nxtest {
namespace {

int count_events(ll_device *, int, uint8_t *, int, void *) {
    return 0;
}

// Every operation on an absent or never-opened session fails or does nothing.
void expect_refused(ll_device *ll) {
    uint32_t values[4] = {};
    ll_param_entry entries[2] = {};
    uint8_t data[8] = {};
    EXPECT_FALSE(nivex_ll_dev_reset(ll, 1));
    EXPECT_FALSE(nivex_ll_exe_cmd(ll, 1, 0xC2, 0, data, sizeof data, 1000));
    EXPECT_FALSE(nivex_ll_check_last_cmd(ll, 0xC2, 0));
    EXPECT_FALSE(nivex_ll_cap_start(ll, 0, count_events, nullptr));
    EXPECT_FALSE(nivex_ll_cap_stop(ll));
    nivex_ll_cap_abort(ll);
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0, values, 4));
    EXPECT_FALSE(nivex_ll_reg_read(ll, 1, 0, values, 4));
    EXPECT_FALSE(nivex_ll_param_set(ll, entries, 2));
    EXPECT_FALSE(nivex_ll_param_get(ll, entries, 2));
    nivex_ll_dev_close(ll);
}

using ForwardTest = TransportTest;

TEST_F(ForwardTest, AbsentAndUnopenedSessionsAreRefused) {
    auto cam = add_camera();
    expect_refused(nullptr);
    EXPECT_EQ(nivex_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(nivex_ll_dev_open_by_fd(nullptr), nullptr);

    ll_device never_opened{};
    expect_refused(&never_opened);
    EXPECT_EQ(never_opened.priv, nullptr);
    EXPECT_TRUE(cam->wire_log().empty());
}

TEST_F(ForwardTest, ListingWithoutRoomTouchesNothing) {
    add_camera();
    ll_device entry{};
    entry.usb_bus = 0xAB;
    EXPECT_EQ(nivex_ll_dev_list(&entry, 0), 0);
    EXPECT_EQ(nivex_ll_dev_list(&entry, -3), 0);
    EXPECT_EQ(entry.usb_bus, 0xAB);
    EXPECT_EQ(rig().contexts(), 0);
}

TEST_F(ForwardTest, OpenOfUnopenedSessionReachesUsb) {
    auto cam = add_camera();
    ll_device *ll = session_for(*cam);
    ASSERT_EQ(ll->ops, nullptr);
    ASSERT_EQ(nivex_ll_dev_open(ll), ll);
    EXPECT_EQ(ll->ops, &ll_op_usb);
    EXPECT_NE(ll->priv, nullptr);
    nivex_ll_dev_close(ll);
    EXPECT_EQ(ll->priv, nullptr);
    EXPECT_EQ(ll->ops, &ll_op_usb);  // kept, so the session can be reopened
}

TEST_F(ForwardTest, NarrowsDirectionCommandAndSubCommand) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    uint8_t target[4] = {1, 0, 0, 0};
    // dir 0x101 sends, cmd 0x1C0 is 0xC0, sub 0x1_0000 is 0.
    EXPECT_TRUE(nivex_ll_exe_cmd(ll, 0x101, 0x1C0, 0x10000, target, 4, 1000));
    EXPECT_TRUE(nivex_ll_check_last_cmd(ll, 0x3C0, 0x100));
    auto sent = commands_of(*cam);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].setup(), (std::array<uint8_t, 8>{0x22, 0xC0, 0, 0, 0, 0, 4, 0}));

    uint32_t regs[40] = {};
    cam->clear_wire_log();
    // target 0x101 is 1, reg_cnt 0x1_0002 is 2.
    EXPECT_TRUE(nivex_ll_reg_read(ll, 0x101, 0x20, regs, 0x10002));
    sent = commands_of(*cam);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{1, 0x20, 0, 0, 0, 8, 0}));
    EXPECT_EQ(sent[1].length, 8);
}

TEST_F(ForwardTest, NarrowsResetTarget) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    EXPECT_TRUE(nivex_ll_dev_reset(ll, 0x102));
    auto sent = commands_of(*cam);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{2, 0, 0, 0}));
}

}  // namespace
}  // namespace nxtest
