#include "data_fixture.h"

#include <filesystem>
#include <fstream>
#include <mutex>

namespace nxtest {

namespace {

std::mutex g_waits_mutex;
std::vector<std::chrono::milliseconds> g_waits;  // guarded by g_waits_mutex

void record_wait(std::chrono::milliseconds duration, const std::function<bool()> &) {
    std::lock_guard lock(g_waits_mutex);
    g_waits.push_back(duration);
}

}  // namespace

void DataTest::SetUp() {
    SimTest::SetUp();
    {
        std::lock_guard lock(g_waits_mutex);
        g_waits.clear();
    }
    nx::data::Timing timing;  // the real waits, recorded instead of slept
    timing.wait = record_wait;
    timing.erase_poll_pause = std::chrono::milliseconds(0);
    previous_ = nx::data::set_timing(timing);
    cam_ = add_camera();
    ASSERT_EQ(open_first(), &dev_);
    cam_.clear_wire_log();
}

void DataTest::TearDown() {
    SimTest::TearDown();
    nx::data::set_timing(previous_);
}

std::string DataTest::write_file(const std::string &name, const Bytes &bytes) const {
    std::string path = dir_.file(name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path;
}

Bytes DataTest::read_bytes(const std::string &path) {
    std::string text = read_file(path);
    return Bytes(text.begin(), text.end());
}

bool DataTest::exists(const std::string &path) {
    return std::filesystem::exists(path);
}

std::vector<nxsim::WireRecord> DataTest::commands() const {
    std::vector<nxsim::WireRecord> out;
    for (nxsim::WireRecord &r : cam_.wire_log())
        if (r.request != kStatusCmd) out.push_back(std::move(r));
    return out;
}

std::vector<nxsim::WireRecord> DataTest::data_requests(uint16_t sub, bool in) const {
    std::vector<nxsim::WireRecord> out;
    for (nxsim::WireRecord &r : cam_.wire_log())
        if (r.request == kDataCmd && r.value == sub && r.is_in() == in) out.push_back(std::move(r));
    return out;
}

std::vector<std::chrono::milliseconds> DataTest::waits() {
    std::lock_guard lock(g_waits_mutex);
    return g_waits;
}

Bytes image_bytes(size_t size, uint8_t seed) {
    Bytes bytes(size);
    uint32_t x = 0x9E3779B9u * seed;
    for (uint8_t &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

}  // namespace nxtest
