// The transport against a camera and a host that misbehave: parameter
// replies that answer another request, commands of a session that is being
// closed, and the signals an application catches.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

#include "support/transport_scenarios.h"

namespace nxtest {
namespace {

using UsbRobustnessTest = TransportTest;

ll_param_entry asked(uint8_t id) {
    ll_param_entry e{};
    e.id = id;
    return e;
}

TEST_F(UsbRobustnessTest, ParameterReplyNamingAnotherParameterFailsTheGet) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->alter_param_replies(NIVEX_PARAM_PRODUCT_STR, std::nullopt);
    ll_param_entry entries[2] = {asked(NIVEX_PARAM_FRAME_RATE), asked(NIVEX_PARAM_INTG_TIME)};
    EXPECT_FALSE(nivex_ll_param_get(ll, entries, 2));
    EXPECT_EQ(log_count("ERR", "usb_ll_param_get", "reply entry 0 is parameter 3, asked for 12"),
              1);
    // The next exchange is the camera's own answer again.
    ll_param_entry again = asked(NIVEX_PARAM_FRAME_RATE);
    ASSERT_TRUE(nivex_ll_param_get(ll, &again, 1));
    EXPECT_EQ(again.len, 4);
}

TEST_F(UsbRobustnessTest, ParameterReplyLongerThanAnEntryFailsTheGetAndIsClamped) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->alter_param_replies(std::nullopt, 200);
    ll_param_entry entry = asked(NIVEX_PARAM_INFO_STR);
    EXPECT_FALSE(nivex_ll_param_get(ll, &entry, 1));
    EXPECT_EQ(entry.len, sizeof entry.val);
    EXPECT_EQ(log_count("ERR", "usb_ll_param_get", "reports 200 value bytes, an entry holds 18"),
              1);
}

TEST_F(UsbRobustnessTest, EmptyOrGarbledRepliesFailTheirCallAndTheNextCallWorks) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    // An empty answer where the host expects bytes.
    cam->script_in_replies({{}});
    ll_param_entry entry = asked(NIVEX_PARAM_FRAME_RATE);
    EXPECT_FALSE(nivex_ll_param_get(ll, &entry, 1));
    EXPECT_EQ(log_count("ERR", "usb_ll_exe_cmd", "exe usb cmd failed: short transfer, 0 of"), 1);
    // A status reply of noise: neither done, nor busy, nor the command asked.
    cam->script_in_replies({std::vector<uint8_t>(63, 0xA5)});
    uint32_t value = 0;
    EXPECT_FALSE(nivex_ll_reg_read(ll, 1, 0, &value, 1));
    // Both faults are spent: the camera's own answers come through again.
    ll_param_entry again = asked(NIVEX_PARAM_FRAME_RATE);
    ASSERT_TRUE(nivex_ll_param_get(ll, &again, 1));
    EXPECT_EQ(again.len, 4);
    EXPECT_EQ(cam->faults().scripted_replies, 2u);
}

TEST_F(UsbRobustnessTest, CommandsOfAnAbortingSessionFailAtOnce) {
    auto cam = add_camera();
    ll_device *ll = open(*cam);
    cam->clear_wire_log();
    ll_set_cmd_abort(*ll, true);
    const uint32_t value = 1;
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0x10, &value, 1));
    EXPECT_TRUE(cam->wire_log().empty());
    ll_set_cmd_abort(*ll, false);
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0x10, &value, 1));
}

// Signals blocked in a thread, from the kernel's view of it.
sigset_t blocked_signals_of(const std::string &tid) {
    std::ifstream status("/proc/self/task/" + tid + "/status");
    sigset_t set;
    sigemptyset(&set);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        for (int sig = 1; sig < 64; ++sig)
            if (mask & (1ULL << (sig - 1))) sigaddset(&set, sig);
    }
    return set;
}

TEST_F(UsbRobustnessTest, TheEventThreadBlocksTheSignalsAnApplicationMayCatch) {
    auto cam = add_camera();
    open(*cam);
    std::vector<std::string> tids;
    ASSERT_TRUE(eventually([&] { return (tids = threads_named("nivex-usb-evt")).size() == 1; }));
    const sigset_t blocked = blocked_signals_of(tids[0]);
    for (int sig : {SIGCHLD, SIGALRM, SIGPROF, SIGUSR1, SIGUSR2, SIGINT, SIGTERM, SIGPIPE, SIGIO})
        EXPECT_EQ(sigismember(&blocked, sig), 1) << strsignal(sig);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        EXPECT_EQ(sigismember(&blocked, sig), 0) << strsignal(sig);
    // The thread that opened the camera got its own mask back.
    sigset_t mine;
    pthread_sigmask(SIG_BLOCK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGUSR1), 0);
}

}  // namespace
}  // namespace nxtest
