// Feeding the frame stream parser against memcpy of the same bytes: the
// parser copies each payload byte once and checks the checksums on the way,
// so its bandwidth should stay close to a plain copy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "sim/stream_writer.h"
#include "stream/nx_stream.h"

namespace {

constexpr size_t kFrameBytes = 614400;  // 320 x 240 x 8
constexpr size_t kPieceBytes = 153600;  // one bulk transfer
constexpr size_t kStreamBytes = 8 * kFrameBytes;

struct TestStream {
    std::vector<uint8_t> bytes;
    std::vector<std::span<const uint8_t>> pieces;
    size_t frames = 0;
};

// Frames of `frame_bytes` until the stream holds about kStreamBytes, each cut
// into chunks of at most `chunk_bytes`, the whole cut into bulk pieces.
TestStream make_stream(size_t frame_bytes, uint32_t chunk_bytes) {
    TestStream s;
    std::mt19937 rng(1);
    nxsim::StreamWriter writer;
    std::vector<uint8_t> frame(frame_bytes);
    while (s.frames * frame_bytes < kStreamBytes) {
        for (uint8_t &b : frame)
            b = static_cast<uint8_t>(rng());
        writer.write_frame(frame, s.bytes, chunk_bytes);
        ++s.frames;
    }
    s.pieces = nxsim::split_fixed(s.bytes, kPieceBytes);
    return s;
}

void feed_stream(benchmark::State &state, const TestStream &s) {
    nx_stream_cfg cfg{1024};
    nx_stream *parser = nx_stream_create(&cfg);
    size_t frames = 0;
    for (auto _ : state) {
        for (std::span<const uint8_t> piece : s.pieces) {
            if (nx_stream_feed_input(parser, piece.data(), piece.size())) {
                // Taking frames without copying them out: only feeding is measured.
                frames += nx_stream_fetch_frames(parser, nullptr, 0, 1024, nullptr, false);
            }
        }
    }
    if (frames != s.frames * state.iterations()) state.SkipWithError("frames lost");
    nx_stream_destroy(parser);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes.size()));
}

void copy_stream(benchmark::State &state, const TestStream &s) {
    std::vector<uint8_t> dst(kFrameBytes + kPieceBytes);
    for (auto _ : state) {
        size_t at = 0;
        for (std::span<const uint8_t> piece : s.pieces) {
            if (at + piece.size() > dst.size()) at = 0;
            std::memcpy(dst.data() + at, piece.data(), piece.size());
            at += piece.size();
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes.size()));
}

const TestStream &realistic() {
    static const TestStream s = make_stream(kFrameBytes, nxsim::kMaxChunkPayload);
    return s;
}
const TestStream &small_chunks() {
    static const TestStream s = make_stream(kFrameBytes, 1024);
    return s;
}
const TestStream &small_frames() {
    static const TestStream s = make_stream(1024, nxsim::kMaxChunkPayload);
    return s;
}

void BM_realistic_nx(benchmark::State &state) {
    feed_stream(state, realistic());
}
void BM_realistic_memcpy(benchmark::State &state) {
    copy_stream(state, realistic());
}
void BM_small_chunks_nx(benchmark::State &state) {
    feed_stream(state, small_chunks());
}
void BM_small_chunks_memcpy(benchmark::State &state) {
    copy_stream(state, small_chunks());
}
void BM_small_frames_nx(benchmark::State &state) {
    feed_stream(state, small_frames());
}
void BM_small_frames_memcpy(benchmark::State &state) {
    copy_stream(state, small_frames());
}

BENCHMARK(BM_realistic_nx)->Name("stream_realistic/nx")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_realistic_memcpy)->Name("stream_realistic/memcpy")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_small_chunks_nx)->Name("stream_small_chunks/nx")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_small_chunks_memcpy)
    ->Name("stream_small_chunks/memcpy")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_small_frames_nx)->Name("stream_small_frames/nx")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_small_frames_memcpy)
    ->Name("stream_small_frames/memcpy")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
