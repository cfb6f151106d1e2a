#include "usb_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "api/nx_log.h"

namespace nxtest {

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

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
    if (HasFailure()) {
        // The end of the library's log explains most failures; NX_FULL_LOG=1
        // prints all of it.
        std::string text = log();
        const size_t keep = std::getenv("NX_FULL_LOG") != nullptr ? text.size() : 6000;
        if (text.size() > keep) text = "...\n" + text.substr(text.size() - keep);
        std::fprintf(stderr, "--- library log ---\n%s--- end of log ---\n", text.c_str());
    }
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
    const std::string head = "[" + std::string(level) + "] [" + std::string(fn) + "]";
    std::vector<std::string> out;
    std::istringstream in(log());
    for (std::string line; std::getline(in, line);) {
        if (line.find(head) != std::string::npos && line.find(text) != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

int UsbTest::log_count(std::string_view level, std::string_view fn, std::string_view text) const {
    return static_cast<int>(log_lines(level, fn, text).size());
}

long stamp_ms(const std::string &line) {
    // "YYYY/MM/DD hh:mm:ss.mmm[tid]..."
    int h = 0, m = 0, s = 0, ms = 0;
    if (line.size() < 23 || std::sscanf(line.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) {
        return -1;
    }
    return ((h * 60L + m) * 60L + s) * 1000L + ms;
}

int CaptureRecorder::callback(ll_device *ll, int event, uint8_t *data, int len, void *arg) {
    auto *self = static_cast<CaptureRecorder *>(arg);
    Event record{event, len, data};
    if (self->hook) self->hook(ll, record);
    {
        std::lock_guard lock(self->mutex_);
        self->events_.push_back(record);
    }
    self->total_.fetch_add(1);
    return 0;
}

std::vector<CaptureRecorder::Event> CaptureRecorder::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

int CaptureRecorder::count(int event) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(events_.begin(), events_.end(),
                                          [event](const Event &e) { return e.event == event; }));
}

}  // namespace nxtest
