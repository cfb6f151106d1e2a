// Header search, checksums and continuity: the stream situations the parser
// must recover from, with the counters and log lines they produce.
#include <gtest/gtest.h>

#include "stream_test_util.h"

namespace {

using streamtest::feed;
using streamtest::fetch_all;
using streamtest::Frame;
using streamtest::LogCapture;
using streamtest::make_stream;
using streamtest::plain_bytes;
using streamtest::state_of;

void expect_frames(const std::vector<Frame> &got, const std::vector<std::vector<uint8_t>> &want,
                   const std::vector<uint16_t> &fridx) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].bytes, want[i]) << "frame " << i;
        EXPECT_EQ(got[i].info.fridx, fridx[i]) << "frame " << i;
        EXPECT_EQ(got[i].info.frlen, want[i].size()) << "frame " << i;
    }
}

// A header cut anywhere, once or twice, is collected across pieces.
TEST(StreamParse, HeaderSplitAcrossPiecesAtEveryPosition) {
    LogCapture log;
    nxsim::StreamWriter w;
    w.set_description({2, 320, 240, -15, 417, 0xA5A5A5A5});
    const auto a = plain_bytes(100, 1), b = plain_bytes(100, 2);
    std::vector<uint8_t> bytes;
    w.write_frame(a, bytes);
    const size_t hdr_b = bytes.size();
    w.write_frame(b, bytes);
    for (size_t k = 1; k < nxsim::kChunkHeaderSize; ++k) {
        for (size_t k2 = k; k2 < nxsim::kChunkHeaderSize; ++k2) {
            auto s = make_stream(10);
            const std::span<const uint8_t> all(bytes);
            feed(s.get(), all.first(hdr_b + k));
            if (k2 > k) feed(s.get(), all.subspan(hdr_b + k, k2 - k));
            feed(s.get(), all.subspan(hdr_b + k2));
            auto got = fetch_all(s.get());
            expect_frames(got, {a, b}, {0, 1});
            EXPECT_EQ(got[1].info.temp_sensor, -15);
            EXPECT_EQ(got[1].info.temp_ib, 417);
            EXPECT_EQ(got[1].info.width, 320);
            EXPECT_EQ(got[1].info.reserved, 0xA5A5A5A5u);
            EXPECT_EQ(state_of(s.get()).bytes_skipped, 0u);
        }
        const std::string held = "partial stream hdr found: " + std::to_string(k) + " bytes";
        EXPECT_GE(log.count(held), 1) << k;
    }
    EXPECT_EQ(log.count("discard"), 0);
}

// A trailing 0xFB is kept as a possible header start without any verdict on
// the bytes before it; without it the same bytes start discarding.
TEST(StreamParse, TrailingMagicByteIsHeldWithoutVerdict) {
    nxsim::StreamWriter w;
    const auto frame = plain_bytes(64, 3);
    std::vector<uint8_t> chunk;
    w.write_frame(frame, chunk);
    {
        LogCapture log;
        auto s = make_stream(4);
        std::vector<uint8_t> first{0x01, 0x02, chunk[0]};
        feed(s.get(), first);
        EXPECT_EQ(log.count("partial stream hdr found: 1 bytes"), 1);
        feed(s.get(), std::span<const uint8_t>(chunk).subspan(1));
        expect_frames(fetch_all(s.get()), {frame}, {0});
        EXPECT_EQ(log.count("stream hdr verify failed"), 0);
    }
    {
        LogCapture log;
        auto s = make_stream(4);
        std::vector<uint8_t> first{0x01, 0x02, 0x03};
        feed(s.get(), first);
        EXPECT_EQ(log.count("discard frame: stream hdr verify failed"), 1);
        feed(s.get(), chunk);  // a frame start ends the discarding
        expect_frames(fetch_all(s.get()), {frame}, {0});
    }
}

struct ThreeFrames {
    std::vector<std::vector<uint8_t>> frames{plain_bytes(100, 4), plain_bytes(100, 5),
                                             plain_bytes(100, 6)};
    std::vector<std::vector<uint8_t>> chunks;  // two chunks of 50 bytes per frame
    std::vector<uint8_t> all;

    explicit ThreeFrames(nxsim::StreamWriter &w, int broken_chunk, bool break_header) {
        for (const auto &f : frames) {
            for (size_t half = 0; half < 2; ++half) {
                if (static_cast<int>(chunks.size()) == broken_chunk) {
                    break_header ? w.corrupt_next_header() : w.corrupt_next_data_sum();
                }
                std::vector<uint8_t> c;
                nxsim::ChunkHeader h;
                h.frlen = 100;
                h.fridx = w.fridx();
                h.frfmt = 2;
                h.flags0 = half == 0 ? nxsim::kFlagFrameStart : 0;
                h.flags1 = nxsim::kFlagDataSumValid;
                w.write_chunk(h, std::span<const uint8_t>(f).subspan(50 * half, 50), c);
                chunks.push_back(c);
                all.insert(all.end(), c.begin(), c.end());
            }
            w.set_fridx(static_cast<uint16_t>(w.fridx() + 1));
        }
    }
};

TEST(StreamParse, CorruptHeaderWithNothingValidAfterItDiscardsUntilFrameStart) {
    LogCapture log;
    nxsim::StreamWriter w;
    ThreeFrames t(w, 3, true);  // second chunk of the second frame
    auto s = make_stream(8);
    for (const auto &c : t.chunks)
        feed(s.get(), c);
    expect_frames(fetch_all(s.get()), {t.frames[0], t.frames[2]}, {0, 2});
    EXPECT_EQ(log.count("discard frame: stream hdr verify failed"), 1);
    EXPECT_EQ(log.count("discard frame: idx = 1"), 1);
    const nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_skipped, 50u);  // the first half that was received
    EXPECT_EQ(st.frames_queued, 2u);
}

TEST(StreamParse, CorruptHeaderFollowedByValidOneOnlySkipsToIt) {
    LogCapture log;
    nxsim::StreamWriter w;
    ThreeFrames t(w, 3, true);
    auto s = make_stream(8);
    feed(s.get(), t.all);
    expect_frames(fetch_all(s.get()), {t.frames[0], t.frames[2]}, {0, 2});
    EXPECT_EQ(log.count("stream hdr verify failed"), 0);
    EXPECT_EQ(log.count("sync hdr: skip 86 bytes"), 1);
    EXPECT_EQ(log.count("discard frame: frame bound met, prev not complete"), 1);
    const nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_skipped, 86u + 50u);
}

TEST(StreamParse, WrongDataSumDiscardsTheFrame) {
    for (int broken : {0, 1, 5}) {
        LogCapture log;
        nxsim::StreamWriter w;
        ThreeFrames t(w, broken, false);
        auto s = make_stream(8);
        streamtest::feed_pieces(s.get(), nxsim::split_fixed(t.all, 30));
        const int lost = broken / 2;
        std::vector<std::vector<uint8_t>> want;
        std::vector<uint16_t> idx;
        for (int i = 0; i < 3; ++i) {
            if (i == lost) continue;
            want.push_back(t.frames[i]);
            idx.push_back(static_cast<uint16_t>(i));
        }
        expect_frames(fetch_all(s.get()), want, idx);
        EXPECT_EQ(state_of(s.get()).frames_discarded, 1u);
        EXPECT_EQ(
            log.count("discard frame: verify data checksum failed: sidx=" + std::to_string(broken)),
            1);
    }
}

// Frames completed inside a chunk are released only once the whole chunk's
// checksum has been verified.
TEST(StreamParse, FramesOfAChunkFailingItsChecksumAreNeverDelivered) {
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    const auto four = plain_bytes(4 * 60, 7);
    w.corrupt_next_data_sum();
    w.write_frames_in_chunk(four, 60, bytes);
    const auto next = plain_bytes(60, 8);
    w.write_frame(next, bytes);
    for (size_t piece : {size_t{7}, size_t{100}, bytes.size()}) {
        auto s = make_stream(8);
        streamtest::feed_pieces(s.get(), nxsim::split_fixed(bytes, piece));
        expect_frames(fetch_all(s.get()), {next}, {4});
        const nx_stream_state st = state_of(s.get());
        EXPECT_EQ(st.frames_discarded, 4u) << piece;
        EXPECT_EQ(st.frames_assembled, 1u) << piece;
        EXPECT_EQ(st.bytes_skipped, 240u) << piece;
    }
}

TEST(StreamParse, ChunkSequenceGapDiscardsTheFrame) {
    LogCapture log;
    nxsim::StreamWriter w;
    const auto frame = plain_bytes(120, 9);
    const std::span<const uint8_t> f(frame);
    std::vector<uint8_t> bytes;
    nxsim::ChunkHeader h;
    h.frlen = 120;
    h.flags1 = nxsim::kFlagDataSumValid;
    w.set_sidx(7);
    h.flags0 = nxsim::kFlagFrameStart;
    w.write_chunk(h, f.subspan(0, 40), bytes);
    h.flags0 = 0;
    w.write_chunk(h, f.subspan(40, 40), bytes);
    w.set_sidx(10);
    w.write_chunk(h, f.subspan(80, 40), bytes);
    w.set_fridx(1);
    const auto next = plain_bytes(50, 10);
    w.write_frame(next, bytes);

    auto s = make_stream(8);
    feed(s.get(), bytes);
    expect_frames(fetch_all(s.get()), {next}, {1});
    EXPECT_EQ(log.count("discard frame: stream hdr idx not correct (prev=8, cur=10)"), 1);
    const nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_discarded, 1u);
    EXPECT_EQ(st.bytes_skipped, 80u + 40u);  // received part, then the skipped payload
    nx_stream_health health{};
    ASSERT_TRUE(nx_stream_get_health(s.get(), &health));
    EXPECT_EQ(health.frames_bad_sum, 0u);  // a broken sequence, not a checksum fault
}

TEST(StreamParse, FrameIndexGaps) {
    LogCapture log;
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    const auto f0 = plain_bytes(30, 11), f1 = plain_bytes(30, 12);
    w.write_frame(f0, bytes);
    w.set_fridx(5);  // frames 1..4 lost: only noted
    w.write_frame(f1, bytes);
    // A continuation chunk from another frame ends the frame it would extend.
    const auto broken = plain_bytes(80, 13);
    nxsim::ChunkHeader h;
    h.frlen = 80;
    h.fridx = 6;
    h.flags0 = nxsim::kFlagFrameStart;
    w.write_chunk(h, std::span<const uint8_t>(broken).first(40), bytes);
    h.fridx = 9;
    h.flags0 = 0;
    w.write_chunk(h, std::span<const uint8_t>(broken).subspan(40), bytes);
    w.set_fridx(10);
    const auto f2 = plain_bytes(30, 14);
    w.write_frame(f2, bytes);

    auto s = make_stream(8);
    streamtest::feed_pieces(s.get(), nxsim::split_fixed(bytes, 13));
    expect_frames(fetch_all(s.get()), {f0, f1, f2}, {0, 5, 10});
    EXPECT_EQ(log.count("missing frame: jumpping frame idx (prev=1, cur=5)"), 1);
    EXPECT_EQ(log.count("discard frame: frame idx not consist (prev=6, cur=9)"), 1);
    // The frame started with index 6 and the stray continuation stored after
    // it are both dropped.
    EXPECT_EQ(state_of(s.get()).frames_discarded, 2u);
}

TEST(StreamParse, FourFramesInOneChunk) {
    LogCapture log;
    nxsim::StreamWriter w;
    w.set_fridx(10);
    std::vector<uint8_t> bytes;
    const auto four = plain_bytes(4 * 50, 15);
    w.write_frames_in_chunk(four, 50, bytes);
    const auto f14 = plain_bytes(50, 16), f20 = plain_bytes(50, 17);
    w.write_frame(f14, bytes);
    w.set_fridx(20);
    w.write_frame(f20, bytes);
    for (size_t piece : {size_t{1}, size_t{33}, size_t{77}, bytes.size()}) {
        auto s = make_stream(8);
        streamtest::feed_pieces(s.get(), nxsim::split_fixed(bytes, piece));
        const std::span<const uint8_t> all(four);
        expect_frames(fetch_all(s.get()),
                      {{all.begin(), all.begin() + 50},
                       {all.begin() + 50, all.begin() + 100},
                       {all.begin() + 100, all.begin() + 150},
                       {all.begin() + 150, all.end()},
                       f14,
                       f20},
                      {10, 11, 12, 13, 14, 20});
    }
    EXPECT_EQ(log.count("missing frame"), 4);  // once per run, for the last frame
    EXPECT_EQ(log.count("missing frame: jumpping frame idx (prev=15, cur=20)"), 4);
}

TEST(StreamParse, ZeroFrameLengthHeaderIsRefused) {
    LogCapture log;
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    nxsim::ChunkHeader h;
    h.frlen = 0;
    h.flags0 = nxsim::kFlagFrameStart;
    const auto junk = plain_bytes(20, 18);
    w.write_chunk(h, junk, bytes);
    const size_t bad_chunk = bytes.size();
    const auto good = plain_bytes(40, 19);
    w.write_frame(good, bytes);
    auto s = make_stream(8);
    const std::span<const uint8_t> all(bytes);
    feed(s.get(), all.first(bad_chunk));
    EXPECT_EQ(log.count("discard frame: stream hdr verify failed"), 1);
    feed(s.get(), all.subspan(bad_chunk));
    expect_frames(fetch_all(s.get()), {good}, {0});
}

}  // namespace
