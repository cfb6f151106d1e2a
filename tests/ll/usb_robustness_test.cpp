// The transport against a camera and a host that misbehave: parameter
// replies that answer another request, event waits that signals interrupt,
// commands of a session that is being closed.
#include <gtest/gtest.h>

#include <dirent.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <string>

#include "usb_fixture.h"

namespace nxtest {
namespace {

using UsbRobustnessTest = UsbTest;

ll_param_entry asked(uint8_t id) {
    ll_param_entry e{};
    e.id = id;
    return e;
}

TEST_F(UsbRobustnessTest, ParameterReplyNamingAnotherParameterFailsTheGet) {
    nxsim::Camera cam = nxsim::add_camera();
    ll_device *ll = open(cam);
    cam.alter_param_replies(NIVEX_PARAM_PRODUCT_STR, std::nullopt);
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
    nxsim::Camera cam = nxsim::add_camera();
    ll_device *ll = open(cam);
    cam.alter_param_replies(std::nullopt, 200);
    ll_param_entry entry = asked(NIVEX_PARAM_INFO_STR);
    EXPECT_FALSE(nivex_ll_param_get(ll, &entry, 1));
    EXPECT_EQ(entry.len, sizeof entry.val);
    EXPECT_EQ(log_count("ERR", "usb_ll_param_get", "reports 200 value bytes, an entry holds 18"),
              1);
}

TEST_F(UsbRobustnessTest, CommandsOfAnAbortingSessionFailAtOnce) {
    nxsim::Camera cam = nxsim::add_camera();
    ll_device *ll = open(cam);
    cam.clear_wire_log();
    ll_set_cmd_abort(*ll, true);
    const uint32_t value = 1;
    EXPECT_FALSE(nivex_ll_reg_write(ll, 1, 0x10, &value, 1));
    EXPECT_TRUE(cam.wire_log().empty());
    ll_set_cmd_abort(*ll, false);
    EXPECT_TRUE(nivex_ll_reg_write(ll, 1, 0x10, &value, 1));
}

TEST_F(UsbRobustnessTest, InterruptedEventWaitsAreWaitedAgain) {
    nxsim::CameraConfig config;
    config.mode = nxsim::StreamMode::Fast;
    nxsim::Camera cam = nxsim::add_camera(config);
    ll_device *ll = open(cam);
    CaptureRecorder recorder;
    ASSERT_TRUE(nivex_ll_cap_start(ll, 0, CaptureRecorder::callback, &recorder));
    nxsim::interrupt_event_waits(200);
    ASSERT_TRUE(eventually([] { return nxsim::event_interrupts_left() == 0; }));
    // The event thread is still there: transfers complete and commands work.
    const int before = recorder.count(LL_CAP_EVT_DATA);
    EXPECT_TRUE(eventually([&] { return recorder.count(LL_CAP_EVT_DATA) > before + 20; }));
    ll_param_entry fps = asked(NIVEX_PARAM_FRAME_RATE);
    EXPECT_TRUE(nivex_ll_param_get(ll, &fps, 1));
    EXPECT_TRUE(nivex_ll_cap_stop(ll));
    EXPECT_EQ(log_count("WRN", "_ll_event_loop", "LIBUSB_ERROR_INTERRUPTED"), 0);
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

// Thread ids of this process whose name is `name`.
std::vector<std::string> threads_named(const std::string &name) {
    std::vector<std::string> found;
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) return found;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string comm_name;
        std::getline(comm, comm_name);
        if (comm_name == name) found.emplace_back(entry->d_name);
    }
    closedir(dir);
    return found;
}

TEST_F(UsbRobustnessTest, TheEventThreadBlocksTheSignalsAnApplicationMayCatch) {
    nxsim::Camera cam = nxsim::add_camera();
    open(cam);
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
