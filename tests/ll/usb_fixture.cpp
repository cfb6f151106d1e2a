#include "usb_fixture.h"

#include <algorithm>

#include "common/nx_log.h"

namespace nxtest {

std::vector<nxsim::WireRecord> commands_of(const nxsim::Camera &cam) {
    std::vector<nxsim::WireRecord> out;
    for (auto &record : cam.wire_log()) {
        if (record.request != 0xB0) out.push_back(record);
    }
    return out;
}

int status_queries_of(const nxsim::Camera &cam) {
    auto log = cam.wire_log();
    return static_cast<int>(
        std::count_if(log.begin(), log.end(), [](const auto &r) { return r.request == 0xB0; }));
}

void UsbTest::SetUp() {
    nxsim::reset();
    log_path_ = dir_.file("transport.log");
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_OFF, nullptr);
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, log_path_.c_str());
}

void UsbTest::TearDown() {
    if (HasFailure()) print_log_tail(log());
    for (auto &ll : sessions_) {
        if (ll->priv != nullptr) nivex_ll_dev_close(ll.get());
    }
    if (expect_released_) {
        nxsim::UsbStats stats = nxsim::usb_stats();
        EXPECT_EQ(stats.transfers_in_flight, 0);
        EXPECT_EQ(stats.transfers_allocated, 0);
        EXPECT_EQ(stats.open_handles, 0);
        EXPECT_EQ(stats.contexts, 0);
        EXPECT_EQ(stats.device_refs, 0);
    }
    nivex_ll_set_debug(0);
    nx_log_disable();
    nxsim::reset();
}

ll_device *UsbTest::session_for(const nxsim::Camera &cam) {
    auto ll = std::make_unique<ll_device>();
    ll->ident_valid = 1;
    ll->usb_bus = cam.bus();
    ll->usb_port = cam.port();
    ll->usb_addr = cam.address();
    ll->usb_speed = cam.speed();
    sessions_.push_back(std::move(ll));
    return sessions_.back().get();
}

ll_device *UsbTest::open(const nxsim::Camera &cam) {
    ll_device *ll = session_for(cam);
    EXPECT_EQ(nivex_ll_dev_open(ll), ll);
    return ll;
}

std::vector<std::string> UsbTest::log_lines(std::string_view level, std::string_view fn,
                                            std::string_view text) const {
    return log_lines_in(log(), level, fn, text);
}

int UsbTest::log_count(std::string_view level, std::string_view fn, std::string_view text) const {
    return static_cast<int>(log_lines(level, fn, text).size());
}

}  // namespace nxtest
