// The 36-byte chunk header that precedes every chunk of the capture stream.
//
//   off size field         off size field
//    0   2   magic FB 98    20   2   temp_sensor
//    2   2   sidx           22   2   temp_ib
//    4   4   len            24   4   reserved
//    8   4   frlen          28   4   data_sum
//   12   2   fridx          32   1   flags0 (bit 0: frame start)
//   14   2   frfmt          33   1   flags1 (bit 0: data_sum valid)
//   16   2   width          34   2   Fletcher-16 of bytes 0..33
//   18   2   height
//
// All fields are little-endian. Bytes 8..27 are the frame description.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/nx_stream.h"

namespace nx::stream {

inline constexpr size_t kHeaderSize = 36;
inline constexpr uint8_t kMagic0 = 0xFB;
inline constexpr uint8_t kMagic1 = 0x98;
inline constexpr uint32_t kMaxChunkLength = 0xFFFFF;
inline constexpr uint32_t kMaxFrameLength = 0x7FFFFFF;
inline constexpr uint16_t kMaxFrameFormat = 0x3FF;

struct ChunkHeader {
    uint16_t sidx;
    uint32_t len;
    uint32_t frlen;
    uint16_t fridx;
    uint16_t frfmt;
    uint32_t data_sum;
    bool frame_start;
    bool data_sum_valid;
};

// Fletcher-16, both sums modulo 255 from 0: sum1 in the low byte.
uint16_t fletcher16(const uint8_t *bytes, size_t n);

// Magic, header checksum and field limits. A frame length of 0 is refused as
// well: such a chunk can neither be counted in frames nor assembled.
bool header_valid(const uint8_t *bytes);

ChunkHeader decode_header(const uint8_t *bytes);

// Writes the 36 header bytes of a chunk: the fields of `h` (its frame
// fields, frlen and fridx, are taken from `info`), the frame description of
// `info` and the header checksum. The inverse of decode_header and
// frame_info_of, for a producer of the stream (a replayed recording).
void encode_header(uint8_t *bytes, const ChunkHeader &h, const nx_stream_frame_info &info);

// The frame description (bytes 8..27) with fridx advanced by frame_offset.
nx_stream_frame_info frame_info_of(const uint8_t *bytes, uint16_t frame_offset);

}  // namespace nx::stream
