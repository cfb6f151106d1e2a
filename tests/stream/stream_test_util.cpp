#include "stream_test_util.h"

#include <gtest/gtest.h>

#include "common/nx_log.h"

namespace streamtest {

StreamPtr make_stream(uint32_t max_frames) {
    nx_stream_cfg cfg{max_frames};
    StreamPtr s(nx_stream_create(&cfg));
    EXPECT_NE(s, nullptr);
    return s;
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (uint8_t &b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

std::vector<uint8_t> plain_bytes(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>((seed + i * 7) % 200);
    return v;
}

void feed_pieces(nx_stream *s, const std::vector<std::span<const uint8_t>> &pieces) {
    for (std::span<const uint8_t> piece : pieces)
        nx_stream_feed_input(s, piece.data(), piece.size());
}

void feed(nx_stream *s, std::span<const uint8_t> bytes) {
    nx_stream_feed_input(s, bytes.data(), bytes.size());
}

std::vector<Frame> fetch_all(nx_stream *s) {
    std::vector<Frame> frames;
    uint8_t none = 0;
    Frame f{};
    // A peek into zero bytes of room yields the description alone.
    while (nx_stream_fetch_frames(s, &none, 0, 1, &f.info, true) == 1) {
        f.bytes.resize(f.info.frlen);
        EXPECT_EQ(nx_stream_fetch_frames(s, f.bytes.data(), f.bytes.size(), 1, &f.info, false), 1u);
        frames.push_back(f);
    }
    return frames;
}

nx_stream_state state_of(nx_stream *s) {
    nx_stream_state st{};
    EXPECT_TRUE(nx_stream_get_state(s, &st));
    return st;
}

LogCapture::LogCapture() : path_(dir_.file("stream.log")) {
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, path_.c_str());
}

LogCapture::~LogCapture() {
    nx_log_disable();
}

std::string LogCapture::text() const {
    return nxtest::read_file(path_);
}

int LogCapture::count(std::string_view needle) const {
    const std::string all = text();
    int n = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1))
        ++n;
    return n;
}

}  // namespace streamtest
