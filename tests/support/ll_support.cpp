#include "support/ll_support.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace nxtest {

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::vector<std::string> log_lines_in(const std::string &log, std::string_view level,
                                      std::string_view fn, std::string_view text) {
    // Appended piece by piece: GCC 12 at -O3 warns (wrongly) about
    // literal + std::string temporaries.
    std::string head = "[";
    head += level;
    head += "] [";
    head += fn;
    head += ']';
    std::vector<std::string> out;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.find(head) != std::string::npos && line.find(text) != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

void print_log_tail(const std::string &log) {
    std::string text = log;
    const size_t keep = std::getenv("NX_FULL_LOG") != nullptr ? text.size() : 6000;
    if (text.size() > keep) text = "...\n" + text.substr(text.size() - keep);
    std::fprintf(stderr, "--- library log ---\n%s--- end of log ---\n", text.c_str());
}

long stamp_ms(const std::string &line) {
    // "YYYY/MM/DD hh:mm:ss.mmm[tid]..."
    int h = 0, m = 0, s = 0, ms = 0;
    if (line.size() < 23 || std::sscanf(line.c_str() + 11, "%d:%d:%d.%d", &h, &m, &s, &ms) != 4) {
        return -1;
    }
    return ((h * 60L + m) * 60L + s) * 1000L + ms;
}

void expect_listed(const ll_device &entry, uint8_t bus, uint8_t port, uint8_t address,
                   uint8_t speed) {
    EXPECT_EQ(entry.usb_bus, bus);
    EXPECT_EQ(entry.usb_port, port);
    EXPECT_EQ(entry.usb_addr, address);
    EXPECT_EQ(entry.usb_speed, speed);
    EXPECT_EQ(entry.ident_valid, 1);
    EXPECT_EQ(entry.dev_fd, 0);
    EXPECT_EQ(entry.ops, &ll_op_usb);
    EXPECT_EQ(entry.priv, nullptr);
}

nxsim::CameraConfig camera_at(uint8_t bus, uint8_t port, uint8_t speed) {
    nxsim::CameraConfig config;
    config.bus = bus;
    config.port = port;
    config.speed = speed;
    return config;
}

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
