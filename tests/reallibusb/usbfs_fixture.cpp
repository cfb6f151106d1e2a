#include "usbfs_fixture.h"

#include <algorithm>

#include "common/nx_log.h"
#include "sim/camera/camera_model.h"

namespace nxtest {

std::vector<nxsim::WireRecord> commands_of(const UsbfsCamera &cam) {
    auto log = cam.act([](nxsim::CameraModel &m) { return m.wire_log(); });
    std::erase_if(log, [](const auto &r) { return r.request == nxsim::kReqStatus; });
    return log;
}

int status_queries_of(const UsbfsCamera &cam) {
    auto log = cam.act([](nxsim::CameraModel &m) { return m.wire_log(); });
    return static_cast<int>(std::count_if(
        log.begin(), log.end(), [](const auto &r) { return r.request == nxsim::kReqStatus; }));
}

bool all_files_closed(const nxsim::umock::UsbfsBus &bus) {
    return eventually([&] { return bus.open_files() == 0; }, 2000ms);
}

void RealUsbTest::SetUp() {
    if (std::string why = nxsim::umock::unavailable_reason(); !why.empty()) GTEST_SKIP() << why;
    bus_.emplace();
    log_path_ = dir_.file("transport.log");
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_OFF, nullptr);
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, log_path_.c_str());
}

void RealUsbTest::TearDown() {
    if (!bus_) return;
    if (HasFailure()) print_log_tail(log());
    for (auto &ll : sessions_) {
        if (ll->priv != nullptr) nivex_ll_dev_close(ll.get());
    }
    EXPECT_TRUE(all_files_closed(*bus_));
    EXPECT_EQ(bus_->failure(), "");
    nivex_ll_set_debug(0);
    nx_log_disable();
    bus_.reset();
}

ll_device *RealUsbTest::session_for(const UsbfsCamera &cam) {
    auto ll = std::make_unique<ll_device>();
    ll->ident_valid = 1;
    ll->usb_bus = cam.bus_number();
    ll->usb_port = cam.port();
    ll->usb_addr = cam.address();
    sessions_.push_back(std::move(ll));
    return sessions_.back().get();
}

ll_device *RealUsbTest::open(const UsbfsCamera &cam) {
    ll_device *ll = session_for(cam);
    EXPECT_EQ(nivex_ll_dev_open(ll), ll);
    return ll;
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
