// The public API on the real libusb while application threads misbehave: a
// close against a command in progress, and a storm of signals that the
// application catches while frames stream.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sim/camera/camera_model.h"
#include "usbfs_fixture.h"

namespace nxtest {
namespace {

using nxsim::CameraModel;

constexpr char kProduct[] = "NVX-T0-1.0";
constexpr uint32_t kFrameBytes = 307200;

class RealThreadsTest : public RealApiTest {
  protected:
    void SetUp() override {
        RealApiTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        nxsim::CameraConfig config;
        config.product = kProduct;
        config.frame_rate = 100;
        cam_ = bus_->add_camera(config);
        ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    }

    UsbfsCamera cam_;
};

TEST_F(RealThreadsTest, CloseDuringACommandTheCameraKeepsBusy) {
    cam_.act([](CameraModel &m) { m.faults().set_busy(1u << 30); });
    std::atomic<bool> returned{false};
    auto call = std::async(std::launch::async, [&] {
        nivex_param_entry fps{};
        fps.param_id = NIVEX_PARAM_FRAME_RATE;
        fps.param_val_len = 4;
        fps.param_val.u32 = 10;
        bool ok = nivex_param_batch_set(&dev_, &fps, 1);
        returned = true;
        return ok;
    });
    ASSERT_TRUE(eventually(
        [&] {
            return cam_.act([](CameraModel &m) { return m.faults().counters().busy_replies; }) > 3;
        },
        10000ms));
    nivex_dev_close(&dev_);
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(call.get());
    EXPECT_EQ(dev_.handle, nullptr);
}

std::atomic<int> g_caught{0};

void count_signal(int) {
    ++g_caught;
}

// Sends `sig` to every thread of this process but the caller.
void signal_every_thread(int sig) {
    const long self = syscall(SYS_gettid);
    DIR *dir = opendir("/proc/self/task");
    if (dir == nullptr) return;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const long tid = std::strtol(entry->d_name, nullptr, 10);
        if (tid != self) syscall(SYS_tgkill, getpid(), tid, sig);
    }
    closedir(dir);
}

TEST_F(RealThreadsTest, FramesKeepComingThroughASignalStorm) {
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: an interrupted wait returns EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    g_caught = 0;

    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 10 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::atomic<bool> storm{true};
    auto stormer = std::async(std::launch::async, [&] {
        while (storm.load()) {
            signal_every_thread(SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<uint8_t> buf(kFrameBytes);
    int frames = 0;
    for (int i = 0; i < 40; ++i) {
        int got = nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, nullptr);
        ASSERT_GE(got, 0) << nivex_error_name(got);
        frames += got;
    }
    storm = false;
    stormer.get();
    EXPECT_EQ(frames, 40);
    EXPECT_GT(g_caught.load(), 0);
    // The event thread survived: the next frames and commands still work.
    nivex_frame_meta meta{};
    EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, buf.data(), kFrameBytes, &meta), 1);
    EXPECT_TRUE(nivex_cap_is_ongoing(&dev_));
    EXPECT_TRUE(nivex_cap_stop(&dev_));
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace nxtest
