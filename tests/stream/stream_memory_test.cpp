// Memory the parser takes for frames: failing allocations and headers that
// claim huge frames. The test program's array allocations go through the
// counting replacement below.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "stream_test_util.h"

namespace {

std::atomic<size_t> g_refuse_from{SIZE_MAX};  // array allocations this big fail
std::atomic<size_t> g_largest{0};             // largest array allocation seen

struct AllocationWatch {
    explicit AllocationWatch(size_t refuse_from = SIZE_MAX) {
        g_refuse_from.store(refuse_from);
        g_largest.store(0);
    }
    ~AllocationWatch() { g_refuse_from.store(SIZE_MAX); }
};

}  // namespace

void *operator new[](size_t n) {
    if (n >= g_refuse_from.load()) throw std::bad_alloc();
    size_t seen = g_largest.load();
    while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {
    }
    void *p = std::malloc(n != 0 ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

namespace {

using streamtest::fetch_all;
using streamtest::LogCapture;
using streamtest::make_stream;
using streamtest::plain_bytes;
using streamtest::state_of;

TEST(StreamMemory, FrameThatCannotBeAllocatedIsDiscardedAlone) {
    for (uint32_t chunk : {nxsim::kMaxChunkPayload, 1000u}) {
        LogCapture log;
        nxsim::StreamWriter w;
        std::vector<uint8_t> bytes;
        const auto a = plain_bytes(100, 1), big = plain_bytes(5000, 2), c = plain_bytes(100, 3);
        w.write_frame(a, bytes);
        w.write_frame(big, bytes, chunk);
        w.write_frame(c, bytes);
        auto s = make_stream(8);
        {
            AllocationWatch refuse(4096);
            streamtest::feed_pieces(s.get(), nxsim::split_fixed(bytes, 700));
        }
        EXPECT_EQ(log.count("[_fr_node_add_data] malloc failed: 5000 bytes"), 1);
        const auto got = fetch_all(s.get());
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].bytes, a);
        EXPECT_EQ(got[1].bytes, c);
        EXPECT_EQ(got[1].info.fridx, 2);
        EXPECT_EQ(state_of(s.get()).frames_discarded, 1u);
    }
}

// A header may claim up to 128 MiB; memory follows the bytes that come.
TEST(StreamMemory, HugeClaimedFrameLengthCommitsBoundedMemory) {
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    nxsim::ChunkHeader h;
    h.frlen = nxsim::kMaxFrameLength;
    h.flags0 = nxsim::kFlagFrameStart;
    h.flags1 = nxsim::kFlagDataSumValid;
    w.write_chunk(h, plain_bytes(1000, 4), bytes);
    const auto next = plain_bytes(300, 5);
    w.write_frame(next, bytes);
    auto s = make_stream(4);
    AllocationWatch watch;
    streamtest::feed(s.get(), bytes);
    EXPECT_LE(g_largest.load(), size_t{16} << 20);
    const auto got = fetch_all(s.get());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, next);
    EXPECT_EQ(state_of(s.get()).frames_discarded, 1u);
}

TEST(StreamMemory, FrameLongerThanTheFirstAllocationGrowsIntact) {
    std::mt19937 rng(9);
    const auto frame = streamtest::random_bytes(rng, (size_t{16} << 20) + 4099);
    nxsim::StreamWriter w;
    std::vector<uint8_t> bytes;
    w.write_frame(frame, bytes);
    auto s = make_stream(2);
    streamtest::feed_pieces(s.get(), nxsim::split_fixed(bytes, 153600));
    const auto got = fetch_all(s.get());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].bytes == frame);
}

}  // namespace
