#include "support/sim_fixture.h"

#include "api/session.h"
#include "common/nx_log.h"

namespace nxtest {

void SimTest::SetUp() {
    nxsim::reset();
    cwd_.emplace(dir_.path());
    log_path_ = dir_.file("test.log");
    ASSERT_TRUE(nivex_init(log_path_.c_str()));
    nivex_log_cfg(NX_LOG_OFF, NX_LOG_TRC, NX_LOG_OFF);
    ASSERT_EQ(nivex_path_cfg((dir_.path().string() + "/").c_str()), 0);
}

void SimTest::TearDown() {
    nivex_dev_close(&dev_);
    nivex_uninit();
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_WRN, nullptr);
    nxsim::reset();
    cwd_.reset();
}

nxsim::Camera SimTest::add_camera(const std::string &product) {
    nxsim::CameraConfig config;
    config.product = product;
    return nxsim::add_camera(config);
}

nivex_device *SimTest::open_first() {
    nivex_device *opened = nivex_dev_open(&dev_);
    EXPECT_EQ(opened, &dev_);
    return opened;
}

bool fetch_under_way(const nivex_device *dev) {
    const nx::SessionRef session = nx::session_of(dev);
    if (!session) return false;
    nx::CaptureState &cap = session->cap;
    const auto turn = cap.take_turn(nullptr, false, [] { return false; });
    if (turn == nx::CaptureState::Turn::kTaken) cap.give_turn();
    return turn == nx::CaptureState::Turn::kNotTaken;
}

std::string SimTest::log_text() const {
    return read_file(log_path_);
}

}  // namespace nxtest
