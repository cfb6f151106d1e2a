// The forwarding layer tolerates absent and unopened sessions.
#include <gtest/gtest.h>

#include "ll/ll_ops.h"

namespace {

TEST(LlForward, AbsentSessionsReportFailureWithoutCrashing) {
    uint32_t regs[2] = {};
    ll_param_entry entries[1] = {};
    EXPECT_FALSE(nivex_ll_dev_reset(nullptr, 0));
    EXPECT_FALSE(nivex_ll_exe_cmd(nullptr, 1, 0xC0, 0, regs, 4, 1000));
    EXPECT_FALSE(nivex_ll_check_last_cmd(nullptr, 0xC0, 0));
    EXPECT_FALSE(nivex_ll_cap_start(nullptr, 0, nullptr, nullptr));
    EXPECT_FALSE(nivex_ll_cap_stop(nullptr));
    EXPECT_FALSE(nivex_ll_reg_write(nullptr, 1, 0, regs, 2));
    EXPECT_FALSE(nivex_ll_reg_read(nullptr, 1, 0, regs, 2));
    EXPECT_FALSE(nivex_ll_param_set(nullptr, entries, 1));
    EXPECT_FALSE(nivex_ll_param_get(nullptr, entries, 1));
    EXPECT_EQ(nivex_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(nivex_ll_dev_open_by_fd(nullptr), nullptr);
    nivex_ll_dev_close(nullptr);
    nivex_ll_cap_abort(nullptr);
}

TEST(LlForward, UnopenedSessionIsTreatedAsAbsent) {
    ll_device never_opened;
    uint32_t reg = 0;
    EXPECT_FALSE(nivex_ll_reg_read(&never_opened, 1, 0, &reg, 1));
    EXPECT_FALSE(nivex_ll_cap_stop(&never_opened));
    nivex_ll_dev_close(&never_opened);
    EXPECT_EQ(never_opened.priv, nullptr);
}

TEST(LlForward, ListingNeedsRoom) {
    ll_device entries[2];
    EXPECT_EQ(nivex_ll_dev_list(entries, 0), 0);
    EXPECT_EQ(nivex_ll_dev_list(entries, -3), 0);
    EXPECT_EQ(nivex_ll_dev_list(nullptr, 2), 0);
}

// Narrowing happens in the forwarding layer: a recording table shows what arrives.
struct Recorded {
    uint8_t dir = 0, cmd = 0, target = 0;
    uint16_t sub = 0, reg_cnt = 0;
} g_seen;

bool record_cmd(ll_device *, uint8_t dir, uint8_t cmd, uint16_t sub, void *, int, uint32_t) {
    g_seen.dir = dir;
    g_seen.cmd = cmd;
    g_seen.sub = sub;
    return true;
}
bool record_reg(ll_device *, uint8_t target, uint32_t, uint32_t *, uint16_t reg_cnt) {
    g_seen.target = target;
    g_seen.reg_cnt = reg_cnt;
    return true;
}
bool record_reset(ll_device *, uint8_t target) {
    g_seen.target = target;
    return true;
}

TEST(LlForward, ArgumentsAreNarrowed) {
    ll_ops table{};
    table.exe_cmd = record_cmd;
    table.reg_read = record_reg;
    table.dev_reset = record_reset;
    ll_device ll;
    ll.ops = &table;
    EXPECT_TRUE(nivex_ll_exe_cmd(&ll, 0x101, 0x1C2, 0x10005, nullptr, 0, 1000));
    EXPECT_EQ(g_seen.dir, 1);
    EXPECT_EQ(g_seen.cmd, 0xC2);
    EXPECT_EQ(g_seen.sub, 5);
    EXPECT_TRUE(nivex_ll_reg_read(&ll, 0x301, 0, nullptr, 65537));
    EXPECT_EQ(g_seen.target, 1);
    EXPECT_EQ(g_seen.reg_cnt, 1);
    EXPECT_TRUE(nivex_ll_dev_reset(&ll, 0x108));
    EXPECT_EQ(g_seen.target, 8);
    EXPECT_FALSE(nivex_ll_reg_write(&ll, 1, 0, nullptr, 1));  // slot absent: false, no crash
}

}  // namespace
