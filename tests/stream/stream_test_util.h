// Helpers shared by the stream parser tests: a stream handle that frees
// itself, feeding pieces, fetching everything, and reading the log.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/stream_writer.h"
#include "stream/nx_stream.h"
#include "support/test_support.h"

namespace streamtest {

struct StreamDeleter {
    void operator()(nx_stream *s) const { nx_stream_destroy(s); }
};
using StreamPtr = std::unique_ptr<nx_stream, StreamDeleter>;

StreamPtr make_stream(uint32_t max_frames);

struct Frame {
    nx_stream_frame_info info;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n);
// Frame bytes that never contain the header magic, for tests that count the
// parser's log lines exactly.
std::vector<uint8_t> plain_bytes(size_t n, uint8_t seed);

void feed_pieces(nx_stream *s, const std::vector<std::span<const uint8_t>> &pieces);
void feed(nx_stream *s, std::span<const uint8_t> bytes);
// Removes every ready frame, one at a time.
std::vector<Frame> fetch_all(nx_stream *s);
nx_stream_state state_of(nx_stream *s);

// Sends the library's log at every level to a private file.
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const;
    int count(std::string_view needle) const;

  private:
    nxtest::TempDir dir_;
    std::string path_;
};

}  // namespace streamtest
