// Randomised streams: valid ones cut anywhere come out exactly as sent;
// damaged ones never yield a frame that differs from what was sent.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "stream_test_util.h"

namespace {

using streamtest::fetch_all;
using streamtest::Frame;
using streamtest::make_stream;
using streamtest::random_bytes;
using streamtest::state_of;

struct SentStream {
    std::vector<uint8_t> bytes;
    std::vector<Frame> frames;
    std::vector<size_t> chunk_starts;
};

// Frames of random length in every layout the camera uses: one chunk per
// frame, a frame over several chunks, several frames in one chunk.
SentStream make_random_stream(std::mt19937 &rng, size_t frame_count, bool always_summed) {
    SentStream s;
    nxsim::StreamWriter w;
    w.set_fridx(static_cast<uint16_t>(rng()));
    w.set_sidx(static_cast<uint16_t>(rng()));
    std::uniform_int_distribution<int> layout(0, 2);
    std::uniform_int_distribution<size_t> length(1, 3000);
    while (s.frames.size() < frame_count) {
        w.set_description({static_cast<uint16_t>(rng() % 0x400), static_cast<uint16_t>(rng()),
                           static_cast<uint16_t>(rng()), static_cast<int16_t>(rng()),
                           static_cast<int16_t>(rng()), static_cast<uint32_t>(rng())});
        w.set_data_sum_enabled(always_summed || rng() % 4 != 0);
        const nxsim::FrameDescription &d = w.description();
        auto record = [&](const uint8_t *p, size_t n) {
            Frame f{};
            f.info = {static_cast<uint32_t>(n),
                      w.fridx(),
                      d.frfmt,
                      d.width,
                      d.height,
                      d.temp_sensor,
                      d.temp_ib,
                      d.reserved};
            f.bytes.assign(p, p + n);
            s.frames.push_back(f);
        };
        const size_t frlen = length(rng);
        const size_t before = s.bytes.size();
        const int kind = layout(rng);
        if (kind == 2) {
            const size_t k = 1 + rng() % 5;
            const auto data = random_bytes(rng, k * frlen);
            for (size_t i = 0; i < k; ++i) {
                record(data.data() + i * frlen, frlen);
                w.set_fridx(static_cast<uint16_t>(w.fridx() + 1));
            }
            w.set_fridx(static_cast<uint16_t>(w.fridx() - k));
            w.write_frames_in_chunk(data, static_cast<uint32_t>(frlen), s.bytes);
        } else {
            const auto data = random_bytes(rng, frlen);
            record(data.data(), frlen);
            const uint32_t max_chunk =
                kind == 0 ? nxsim::kMaxChunkPayload : static_cast<uint32_t>(1 + rng() % frlen);
            w.write_frame(data, s.bytes, max_chunk);
        }
        // Chunk starts, for the corruption below.
        for (size_t at = before; at < s.bytes.size();) {
            s.chunk_starts.push_back(at);
            const auto h = nxsim::decode_header(
                std::span<const uint8_t, nxsim::kChunkHeaderSize>(s.bytes.data() + at, 36));
            at += nxsim::kChunkHeaderSize + h.len;
        }
    }
    return s;
}

void expect_same_frame(const Frame &got, const Frame &sent) {
    EXPECT_EQ(got.bytes, sent.bytes);
    EXPECT_EQ(0, std::memcmp(&got.info, &sent.info, sizeof got.info)) << "fridx " << got.info.fridx;
}

TEST(StreamProperty, ValidStreamCutAnywhereYieldsExactlyItsFrames) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        const SentStream sent = make_random_stream(rng, 60, false);
        const size_t max_piece = seed % 3 == 0 ? 8 : seed % 3 == 1 ? 200 : 5000;
        auto s = make_stream(static_cast<uint32_t>(sent.frames.size()));
        streamtest::feed_pieces(s.get(), nxsim::split_random(sent.bytes, rng, 1, max_piece));
        const auto got = fetch_all(s.get());
        ASSERT_EQ(got.size(), sent.frames.size()) << "seed " << seed;
        for (size_t i = 0; i < got.size(); ++i)
            expect_same_frame(got[i], sent.frames[i]);
        const nx_stream_state st = state_of(s.get());
        EXPECT_EQ(st.frames_assembled, sent.frames.size());
        EXPECT_EQ(st.frames_queued, sent.frames.size());
        EXPECT_EQ(st.frames_discarded, 0u);
        EXPECT_EQ(st.frames_overflowed, 0u);
        EXPECT_EQ(st.bytes_skipped, 0u);
    }
}

// One changed byte per chunk at most, never turning 0x00 into 0xFF or back
// (the one change the header checksum cannot see), whole ranges dropped, and
// garbage inserted.
std::vector<uint8_t> damage(const SentStream &sent, std::mt19937 &rng) {
    std::vector<uint8_t> out = sent.bytes;
    for (size_t c = 0; c < sent.chunk_starts.size(); ++c) {
        if (rng() % 6 != 0) continue;
        const size_t begin = sent.chunk_starts[c];
        const size_t end =
            c + 1 < sent.chunk_starts.size() ? sent.chunk_starts[c + 1] : sent.bytes.size();
        const size_t at = begin + rng() % (end - begin);
        uint8_t x = 0;
        do {
            x = static_cast<uint8_t>(out[at] ^ (1 + rng() % 255));
        } while ((out[at] == 0x00 && x == 0xFF) || (out[at] == 0xFF && x == 0x00));
        out[at] = x;
    }
    for (int i = 0; i < 4; ++i) {
        const size_t at = rng() % out.size();
        const size_t n = std::min<size_t>(1 + rng() % 300, out.size() - at);
        if (i % 2 == 0) {
            out.erase(out.begin() + static_cast<std::ptrdiff_t>(at),
                      out.begin() + static_cast<std::ptrdiff_t>(at + n));
        } else {
            std::vector<uint8_t> junk = random_bytes(rng, n);
            if (i == 3 && n >= 2) junk[n - 2] = 0xFB, junk[n - 1] = 0x98;
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
        }
    }
    return out;
}

TEST(StreamProperty, DamagedStreamNeverYieldsAlteredFrames) {
    size_t total_sent = 0, total_got = 0;
    for (uint32_t seed = 100; seed < 130; ++seed) {
        std::mt19937 rng(seed);
        const SentStream sent = make_random_stream(rng, 50, true);
        std::map<uint16_t, size_t> by_index;  // fridx -> position in the stream
        for (size_t i = 0; i < sent.frames.size(); ++i)
            by_index[sent.frames[i].info.fridx] = i;
        const std::vector<uint8_t> damaged = damage(sent, rng);
        auto s = make_stream(static_cast<uint32_t>(sent.frames.size()));
        streamtest::feed_pieces(s.get(), nxsim::split_random(damaged, rng, 1, 4000));
        const auto got = fetch_all(s.get());
        size_t next = 0;  // frames come in stream order, none twice
        for (const Frame &f : got) {
            auto it = by_index.find(f.info.fridx);
            ASSERT_NE(it, by_index.end()) << "seed " << seed;
            EXPECT_GE(it->second, next) << "seed " << seed;
            next = it->second + 1;
            expect_same_frame(f, sent.frames[it->second]);
        }
        const nx_stream_state st = state_of(s.get());
        EXPECT_EQ(st.frames_assembled, st.frames_queued) << "seed " << seed;
        EXPECT_EQ(st.frames_queued, got.size() + st.frames_overflowed) << "seed " << seed;
        EXPECT_EQ(st.frames_ready, 0u);
        EXPECT_LE(got.size() + st.frames_discarded, sent.frames.size()) << "seed " << seed;
        total_sent += sent.frames.size();
        total_got += got.size();
    }
    // The damage spares most frames: the parser must keep finding them.
    EXPECT_GT(total_got, total_sent / 2);
}

}  // namespace
