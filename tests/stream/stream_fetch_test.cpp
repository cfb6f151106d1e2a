// The ready list: overflow, fetching with truncation, peeking, reset, and a
// producer and consumers on different threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "stream_test_util.h"

namespace {

using streamtest::feed;
using streamtest::fetch_all;
using streamtest::LogCapture;
using streamtest::make_stream;
using streamtest::plain_bytes;
using streamtest::state_of;

struct Frames {
    std::vector<std::vector<uint8_t>> data;
    std::vector<std::vector<uint8_t>> chunks;  // one chunk per frame
};

Frames one_chunk_frames(size_t count, size_t frlen) {
    Frames f;
    nxsim::StreamWriter w;
    for (size_t i = 0; i < count; ++i) {
        f.data.push_back(plain_bytes(frlen, static_cast<uint8_t>(i)));
        f.chunks.emplace_back();
        w.write_frame(f.data.back(), f.chunks.back());
    }
    return f;
}

TEST(StreamFetch, FullReadyListDropsTheOldestFramesOneAtATime) {
    LogCapture log;
    const Frames f = one_chunk_frames(5, 100);
    auto s = make_stream(2);
    for (const auto &c : f.chunks)
        EXPECT_TRUE(nx_stream_feed_input(s.get(), c.data(), c.size()));
    EXPECT_EQ(log.count("discard frames: frame buffer is full (1/1)"), 1);
    EXPECT_EQ(log.count("discard frames: frame buffer is full (1/2)"), 1);
    EXPECT_EQ(log.count("discard frames: frame buffer is full (1/3)"), 1);
    nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_overflowed, 3u);
    EXPECT_EQ(st.frames_ready, 2u);
    EXPECT_EQ(st.frames_queued, 5u);
    EXPECT_EQ(st.bytes_skipped, 300u);
    auto got = fetch_all(s.get());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].bytes, f.data[3]);
    EXPECT_EQ(got[1].bytes, f.data[4]);
    EXPECT_EQ(state_of(s.get()).frames_ready, 0u);
}

// Many small frames in one chunk never pile up beyond the list's size.
TEST(StreamFetch, ChunkOfManyFramesKeepsOnlyTheNewest) {
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    const auto frames = plain_bytes(40 * 10, 1);
    w.write_frames_in_chunk(frames, 10, bytes);
    auto s = make_stream(3);
    streamtest::feed_pieces(s.get(), nxsim::split_fixed(bytes, 64));
    auto got = fetch_all(s.get());
    ASSERT_EQ(got.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(got[i].info.fridx, 37 + i);
        EXPECT_TRUE(std::equal(got[i].bytes.begin(), got[i].bytes.end(),
                               frames.begin() + 10 * static_cast<std::ptrdiff_t>(37 + i)));
    }
    const nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_overflowed, 37u);
    EXPECT_EQ(st.frames_queued, 40u);
    EXPECT_EQ(st.frames_assembled, 40u);
}

TEST(StreamFetch, FetchTruncatesToTheBufferAndRemovesAllFetched) {
    const Frames f = one_chunk_frames(4, 100);
    auto s = make_stream(8);
    for (const auto &c : f.chunks)
        feed(s.get(), c);
    std::vector<uint8_t> dst(150 + 16, 0xEE);
    nx_stream_frame_info info{};
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), dst.data(), 150, 3, &info, false), 3u);
    EXPECT_EQ(0, std::memcmp(dst.data(), f.data[0].data(), 100));
    EXPECT_EQ(0, std::memcmp(dst.data() + 100, f.data[1].data(), 50));
    EXPECT_EQ(dst[150], 0xEE);
    EXPECT_EQ(info.fridx, 0);
    EXPECT_EQ(info.frlen, 100u);
    EXPECT_EQ(state_of(s.get()).frames_ready, 1u);
    // Without a buffer the frames are still taken.
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), nullptr, 0, 5, &info, false), 1u);
    EXPECT_EQ(info.fridx, 3);
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), dst.data(), dst.size(), 1, &info, false), 0u);
}

TEST(StreamFetch, PeekLeavesFramesInPlace) {
    const Frames f = one_chunk_frames(3, 60);
    auto s = make_stream(8);
    for (const auto &c : f.chunks)
        feed(s.get(), c);
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), nullptr, 0, 5, nullptr, true), 3u);
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), nullptr, 0, 2, nullptr, true), 2u);
    std::vector<uint8_t> dst(120);
    nx_stream_frame_info info{};
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), dst.data(), dst.size(), 2, &info, true), 2u);
    EXPECT_EQ(0, std::memcmp(dst.data(), f.data[0].data(), 60));
    EXPECT_EQ(0, std::memcmp(dst.data() + 60, f.data[1].data(), 60));
    EXPECT_EQ(state_of(s.get()).frames_ready, 3u);
    auto got = fetch_all(s.get());
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].bytes, f.data[0]);
}

TEST(StreamFetch, ResetForgetsEverythingBefore) {
    const Frames f = one_chunk_frames(4, 100);
    auto s = make_stream(8);
    feed(s.get(), f.chunks[0]);
    feed(s.get(), f.chunks[1]);
    // Half of the third frame is being assembled at the reset.
    const std::span<const uint8_t> third(f.chunks[2]);
    feed(s.get(), third.first(80));
    nx_stream_reset(s.get());
    nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_ready, 0u);
    EXPECT_EQ(st.frames_queued, 0u);
    EXPECT_EQ(st.frames_assembled, 0u);
    EXPECT_NE(st.reset_sec, 0u);
    EXPECT_EQ(nx_stream_fetch_frames(s.get(), nullptr, 0, 5, nullptr, true), 0u);
    // The rest of the old frame must not complete anything.
    feed(s.get(), third.subspan(80));
    feed(s.get(), f.chunks[3]);
    auto got = fetch_all(s.get());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, f.data[3]);
    nx_stream_cfg cfg{};
    EXPECT_TRUE(nx_stream_get_cfg(s.get(), &cfg));
    EXPECT_EQ(cfg.max_frames, 8u);
}

TEST(StreamFetch, NullArgumentsAreRefused) {
    EXPECT_EQ(nx_stream_create(nullptr), nullptr);
    nx_stream_destroy(nullptr);
    nx_stream_reset(nullptr);
    nx_stream_cfg cfg{5};
    nx_stream_state st{};
    EXPECT_FALSE(nx_stream_set_cfg(nullptr, &cfg));
    EXPECT_FALSE(nx_stream_get_cfg(nullptr, &cfg));
    EXPECT_FALSE(nx_stream_get_state(nullptr, &st));
    EXPECT_EQ(nx_stream_fetch_frames(nullptr, nullptr, 0, 1, nullptr, false), 0u);
    EXPECT_FALSE(nx_stream_feed_input(nullptr, nullptr, 10));
    auto s = make_stream(2);
    EXPECT_FALSE(nx_stream_feed_input(s.get(), nullptr, 100));
    EXPECT_EQ(state_of(s.get()).bytes_skipped, 0u);
    EXPECT_FALSE(nx_stream_set_cfg(s.get(), nullptr));
    EXPECT_FALSE(nx_stream_get_state(s.get(), nullptr));
    EXPECT_TRUE(nx_stream_set_cfg(s.get(), &cfg));
    nx_stream_cfg back{};
    EXPECT_TRUE(nx_stream_get_cfg(s.get(), &back));
    EXPECT_EQ(back.max_frames, 5u);
}

// One thread feeds, others fetch, peek and read the counters meanwhile;
// every frame arrives once, whole and in order.
TEST(StreamFetch, ProducerAndConsumersOnDifferentThreads) {
    constexpr size_t kFrames = 300;
    std::mt19937 rng(5);
    nxsim::StreamWriter w;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < kFrames; ++i) {
        sent.push_back(streamtest::random_bytes(rng, 200 + i % 50));
        w.write_frame(sent.back(), bytes, 90);
    }
    auto s = make_stream(kFrames);
    const auto pieces = nxsim::split_random(bytes, rng, 1, 700);
    std::atomic<bool> done{false};
    std::atomic<bool> fed{false};
    std::thread producer([&] {
        streamtest::feed_pieces(s.get(), pieces);
        fed.store(true);
    });
    std::thread watcher([&] {
        std::vector<uint8_t> scratch(300);
        while (!done.load()) {
            nx_stream_state st{};
            nx_stream_get_state(s.get(), &st);
            EXPECT_LE(st.frames_ready, st.frames_queued);
            nx_stream_fetch_frames(s.get(), scratch.data(), scratch.size(), 1, nullptr, true);
        }
    });
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> buf(300);
    nx_stream_frame_info info{};
    while (got.size() < kFrames) {
        const bool all_fed = fed.load();
        if (nx_stream_fetch_frames(s.get(), buf.data(), buf.size(), 1, &info, false) == 1) {
            got.emplace_back(buf.begin(), buf.begin() + info.frlen);
        } else if (all_fed) {
            break;  // nothing more will come
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    done.store(true);
    watcher.join();
    EXPECT_EQ(got, sent);
    const nx_stream_state st = state_of(s.get());
    EXPECT_EQ(st.frames_queued, kFrames);
    EXPECT_EQ(st.frames_discarded, 0u);
}

}  // namespace
