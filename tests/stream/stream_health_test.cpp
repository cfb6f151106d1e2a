// The parser's finer counters: checksum discards apart from the other
// discards, and the ready list's peak.
#include <gtest/gtest.h>

#include "stream_test_util.h"

namespace {

using streamtest::feed;
using streamtest::fetch_all;
using streamtest::make_stream;
using streamtest::plain_bytes;
using streamtest::state_of;

nx_stream_health health_of(nx_stream *s) {
    nx_stream_health h{};
    EXPECT_TRUE(nx_stream_get_health(s, &h));
    return h;
}

// Every frame of a chunk whose checksum fails is a checksum discard.
TEST(StreamHealth, ChecksumDiscardsAreCountedApart) {
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    w.corrupt_next_data_sum();
    w.write_frames_in_chunk(plain_bytes(4 * 60, 7), 60, bytes);
    w.write_frame(plain_bytes(60, 8), bytes);
    auto s = make_stream(8);
    feed(s.get(), bytes);
    EXPECT_EQ(state_of(s.get()).frames_discarded, 4u);
    EXPECT_EQ(health_of(s.get()).frames_bad_sum, 4u);
}

TEST(StreamHealth, PeakIsTheMostFramesReadyAtOnceUpToTheListSize) {
    nxsim::StreamWriter w;
    auto frames = [&w](int count) {
        std::vector<uint8_t> bytes;
        for (int i = 0; i < count; ++i)
            w.write_frame(plain_bytes(100, static_cast<uint8_t>(i)), bytes);
        return bytes;
    };
    auto s = make_stream(4);
    feed(s.get(), frames(3));
    EXPECT_EQ(health_of(s.get()).frames_ready_peak, 3u);
    EXPECT_EQ(fetch_all(s.get()).size(), 3u);
    feed(s.get(), frames(1));
    EXPECT_EQ(health_of(s.get()).frames_ready_peak, 3u);  // a peak stays
    feed(s.get(), frames(6));
    EXPECT_EQ(health_of(s.get()).frames_ready_peak, 4u);  // never beyond the list
    nx_stream_reset(s.get());
    const nx_stream_health h = health_of(s.get());
    EXPECT_EQ(h.frames_ready_peak, 0u);
    EXPECT_EQ(h.frames_bad_sum, 0u);
}

TEST(StreamHealth, NullArgumentsAreRefused) {
    auto s = make_stream(2);
    nx_stream_health h{};
    EXPECT_FALSE(nx_stream_get_health(nullptr, &h));
    EXPECT_FALSE(nx_stream_get_health(s.get(), nullptr));
}

}  // namespace
