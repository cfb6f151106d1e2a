// Arbitrary bytes, cut into arbitrary pieces, fed to the frame stream parser
// with fetches, peeks and resets in between. The input's first bytes steer
// the piece sizes and the consumer's calls; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "stream/nx_stream.h"

namespace {

struct Steering {
    const uint8_t *p;
    size_t n;
    uint8_t next() {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
};

void check_frames(nx_stream *s, Steering &steer, std::vector<uint8_t> &buf) {
    const uint8_t op = steer.next();
    const uint32_t count = 1 + op % 4;
    const size_t room = static_cast<size_t>(steer.next()) * 97;
    buf.resize(room + 1);
    nx_stream_frame_info info{};
    const bool peek = (op & 0x10) != 0;
    const uint32_t n =
        nx_stream_fetch_frames(s, (op & 0x20) ? nullptr : buf.data(), room, count, &info, peek);
    nx_stream_state st{};
    nx_stream_get_state(s, &st);
    if (n > count || (!peek && n > 0 && info.frlen == 0)) __builtin_trap();
    if (op == 0xFF) nx_stream_reset(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4) return 0;
    const size_t steer_len = data[0] % 32;
    if (size < 1 + steer_len) return 0;
    Steering steer{data + 1, steer_len};
    const uint8_t *stream = data + 1 + steer_len;
    size_t left = size - 1 - steer_len;

    nx_stream_cfg cfg{1 + data[1] % 4u};
    nx_stream *s = nx_stream_create(&cfg);
    if (s == nullptr) return 0;
    std::vector<uint8_t> buf;
    while (left > 0) {
        size_t piece = 1 + steer.next() * 3u;
        if (piece > left) piece = left;
        nx_stream_feed_input(s, stream, piece);
        stream += piece;
        left -= piece;
        check_frames(s, steer, buf);
    }
    while (nx_stream_fetch_frames(s, nullptr, 0, 8, nullptr, false) != 0) {
    }
    nx_stream_destroy(s);
    return 0;
}
