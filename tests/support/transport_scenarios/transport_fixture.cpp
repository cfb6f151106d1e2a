#include <algorithm>

#include "common/nx_log.h"
#include "support/transport_scenarios.h"

namespace nxtest {

namespace {

constexpr uint8_t kStatusRequest = 0xB0;

}  // namespace

std::vector<nxsim::WireRecord> commands_of(const RigCamera &cam) {
    std::vector<nxsim::WireRecord> out = cam.wire_log();
    std::erase_if(out, [](const auto &record) { return record.request == kStatusRequest; });
    return out;
}

int status_queries_of(const RigCamera &cam) {
    const std::vector<nxsim::WireRecord> log = cam.wire_log();
    return static_cast<int>(std::count_if(log.begin(), log.end(), [](const auto &record) {
        return record.request == kStatusRequest;
    }));
}

void TransportTest::SetUp() {
    std::string why;
    rig_ = make_transport_rig(why);
    if (!rig_) GTEST_SKIP() << why;
    log_path_ = dir_.file("transport.log");
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_OFF, nullptr);
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, log_path_.c_str());
}

void TransportTest::TearDown() {
    if (!rig_) return;
    if (HasFailure()) print_log_tail(log());
    for (auto &ll : sessions_) {
        if (ll->priv != nullptr) nivex_ll_dev_close(ll.get());
    }
    if (expect_released_) rig_->expect_all_released();
    nivex_ll_set_debug(0);
    nx_log_disable();
    rig_.reset();
}

ll_device *TransportTest::session_for(const RigCamera &cam) {
    auto ll = std::make_unique<ll_device>();
    ll->ident_valid = 1;
    ll->usb_bus = cam.bus();
    ll->usb_port = cam.port();
    ll->usb_addr = cam.address();
    sessions_.push_back(std::move(ll));
    return sessions_.back().get();
}

ll_device *TransportTest::open(const RigCamera &cam) {
    ll_device *ll = session_for(cam);
    EXPECT_EQ(nivex_ll_dev_open(ll), ll);
    return ll;
}

}  // namespace nxtest
