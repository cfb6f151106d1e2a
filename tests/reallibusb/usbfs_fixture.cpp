#include "usbfs_fixture.h"

#include "common/nx_log.h"

namespace nxtest {

bool all_files_closed(const nxsim::umock::UsbfsBus &bus) {
    return eventually([&] { return bus.open_files() == 0; });
}

void RealApiTest::SetUp() {
    if (std::string why = nxsim::umock::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    bus_.emplace();
    cwd_.emplace(dir_.path());
    log_path_ = dir_.file("test.log");
    ASSERT_TRUE(nivex_init(log_path_.c_str()));
    nivex_log_cfg(NX_LOG_OFF, NX_LOG_TRC, NX_LOG_OFF);
    ASSERT_EQ(nivex_path_cfg((dir_.path().string() + "/").c_str()), 0);
}

void RealApiTest::TearDown() {
    if (!bus_) return;
    if (HasFailure()) print_log_tail(log());
    nivex_dev_close(&dev_);
    nivex_uninit();
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_WRN, nullptr);
    EXPECT_TRUE(all_files_closed(*bus_));
    EXPECT_EQ(bus_->failure(), "");
    bus_.reset();
    cwd_.reset();
}

}  // namespace nxtest
