// Camera side of the capture stream: turns frames into the chunk byte stream
// the camera sends over its bulk endpoint, and cuts that stream into pieces
// the way bulk transfers do.
//
// Wire format of one chunk: a 36-byte little-endian header followed by `len`
// payload bytes.
//
//   off size field        off size field
//    0   2   magic 0x98FB  20   2   temp_sensor (signed, 0.1 degC)
//    2   2   sidx          22   2   temp_ib     (signed, 0.1 degC)
//    4   4   len           24   4   reserved
//    8   4   frlen         28   4   data_sum
//   12   2   fridx         32   1   flags0 (bit 0 FRAME_START)
//   14   2   frfmt         33   1   flags1 (bit 0 DATA_SUM_VALID)
//   16   2   width         34   2   hdr_sum: Fletcher-16 of bytes 0..33
//   18   2   height                  (low byte sum1, high byte sum2)
//
// data_sum is the sum modulo 2^32 of the payload read as 32-bit little-endian
// words from its first byte; a trailing partial word counts zero-padded.
//
// The writer is deliberately independent of the library's parser (plain
// scalar code) so that tests compare two separate implementations of the
// format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

namespace nxsim {

inline constexpr size_t kChunkHeaderSize = 36;
inline constexpr uint32_t kMaxChunkPayload = 0xFFFFF;
inline constexpr uint32_t kMaxFrameLength = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 0x3FF;
inline constexpr uint8_t kFlagFrameStart = 0x01;    // in flags0
inline constexpr uint8_t kFlagDataSumValid = 0x01;  // in flags1

// Every field of a chunk header except the magic and hdr_sum.
struct ChunkHeader {
    uint16_t sidx = 0;
    uint32_t len = 0;
    uint32_t frlen = 0;
    uint16_t fridx = 0;
    uint16_t frfmt = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    int16_t temp_sensor = 0;
    int16_t temp_ib = 0;
    uint32_t reserved = 0;
    uint32_t data_sum = 0;
    uint8_t flags0 = 0;
    uint8_t flags1 = 0;
};

// What the camera states about each frame it sends (header bytes 14..27).
struct FrameDescription {
    uint16_t frfmt = 2;
    uint16_t width = 0;
    uint16_t height = 0;
    int16_t temp_sensor = 0;
    int16_t temp_ib = 0;
    uint32_t reserved = 0;
};

// Fletcher-16 with both sums modulo 255 starting at 0: sum1 | sum2 << 8.
uint16_t fletcher16(std::span<const uint8_t> bytes);
// Sum of the bytes as little-endian 32-bit words, the last one zero-padded.
uint32_t payload_sum(std::span<const uint8_t> payload);
// The 36 header bytes, magic and hdr_sum included.
std::array<uint8_t, kChunkHeaderSize> encode_header(const ChunkHeader &header);
// Reads the fields back (no validation); for tests that alter a header.
ChunkHeader decode_header(std::span<const uint8_t, kChunkHeaderSize> bytes);

// Builds the chunk stream of a camera. Keeps the running chunk sequence number
// (sidx, +1 per chunk) and frame index (fridx, +1 per frame), so consecutive
// calls produce one continuous, valid stream. Every write appends to `out`.
//
// Faults for tests and the simulator are armed beforehand and apply to the
// next chunk written only.
class StreamWriter {
  public:
    StreamWriter() = default;

    uint16_t sidx() const { return sidx_; }
    uint16_t fridx() const { return fridx_; }
    // Next chunk's sequence number / next frame's index. Setting them to
    // other values than the running ones produces sequence gaps.
    void set_sidx(uint16_t sidx) { sidx_ = sidx; }
    void set_fridx(uint16_t fridx) { fridx_ = fridx; }

    const FrameDescription &description() const { return description_; }
    void set_description(const FrameDescription &description) { description_ = description; }
    // With false, chunks carry no DATA_SUM_VALID flag and data_sum 0.
    void set_data_sum_enabled(bool enabled) { data_sum_enabled_ = enabled; }

    // The next chunk's hdr_sum is wrong (the header fails verification).
    void corrupt_next_header() { corrupt_header_ = true; }
    // The next chunk's data_sum is wrong (its payload fails verification).
    void corrupt_next_data_sum() { corrupt_data_sum_ = true; }

    // One frame, split into chunks of at most `max_chunk_payload` bytes (0 or
    // more than kMaxChunkPayload: kMaxChunkPayload); the first carries
    // FRAME_START, all carry the frame's fridx, which then advances by one.
    // An empty frame gives one empty chunk with frlen 0 (which the library
    // refuses). Returns the number of chunks written.
    size_t write_frame(std::span<const uint8_t> frame, std::vector<uint8_t> &out,
                       uint32_t max_chunk_payload = kMaxChunkPayload);
    // `frames.size() / frlen` frames of `frlen` bytes each in one chunk
    // (FRAME_START, fridx of the first). frames.size() must be a multiple of
    // frlen and at most kMaxChunkPayload (else std::invalid_argument). fridx
    // advances by the number of frames.
    void write_frames_in_chunk(std::span<const uint8_t> frames, uint32_t frlen,
                               std::vector<uint8_t> &out);
    // One chunk with the given header fields; sidx is taken from the writer
    // (and advanced), len from the payload, and data_sum computed when
    // DATA_SUM_VALID is set in `header.flags1`. fridx is not advanced.
    void write_chunk(ChunkHeader header, std::span<const uint8_t> payload,
                     std::vector<uint8_t> &out);

  private:
    ChunkHeader header_for(uint32_t len, uint32_t frlen, bool frame_start) const;

    uint16_t sidx_ = 0;
    uint16_t fridx_ = 0;
    FrameDescription description_;
    bool data_sum_enabled_ = true;
    bool corrupt_header_ = false;
    bool corrupt_data_sum_ = false;
};

// Cuts a byte stream into consecutive pieces, as bulk transfers deliver it.
// Every piece is a view into `stream`; together they cover it exactly.
std::vector<std::span<const uint8_t>> split_fixed(std::span<const uint8_t> stream,
                                                  size_t piece_size);
// Piece sizes drawn uniformly from [min_size, max_size] (min_size >= 1).
std::vector<std::span<const uint8_t>> split_random(std::span<const uint8_t> stream,
                                                   std::mt19937 &rng, size_t min_size,
                                                   size_t max_size);

}  // namespace nxsim
