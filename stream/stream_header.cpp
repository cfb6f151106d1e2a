#include "stream/stream_header.h"

namespace nx::stream {

namespace {

uint16_t le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint16_t fletcher16(const uint8_t *bytes, size_t n) {
    // Reducing once at the end gives the same residues as reducing per byte;
    // the raw sums cannot overflow for header-sized inputs.
    uint32_t sum1 = 0;
    uint32_t sum2 = 0;
    for (size_t i = 0; i < n; ++i) {
        sum1 += bytes[i];
        sum2 += sum1;
    }
    return static_cast<uint16_t>(sum1 % 255 | (sum2 % 255) << 8);
}

bool header_valid(const uint8_t *bytes) {
    if (bytes[0] != kMagic0 || bytes[1] != kMagic1) return false;
    if (le16(bytes + 34) != fletcher16(bytes, 34)) return false;
    const uint32_t frlen = le32(bytes + 8);
    return le32(bytes + 4) <= kMaxChunkLength && frlen != 0 && frlen <= kMaxFrameLength &&
           le16(bytes + 14) <= kMaxFrameFormat;
}

ChunkHeader decode_header(const uint8_t *bytes) {
    ChunkHeader h{};
    h.sidx = le16(bytes + 2);
    h.len = le32(bytes + 4);
    h.frlen = le32(bytes + 8);
    h.fridx = le16(bytes + 12);
    h.frfmt = le16(bytes + 14);
    h.data_sum = le32(bytes + 28);
    h.frame_start = (bytes[32] & 0x01) != 0;
    h.data_sum_valid = (bytes[33] & 0x01) != 0;
    return h;
}

nx_stream_frame_info frame_info_of(const uint8_t *bytes, uint16_t frame_offset) {
    nx_stream_frame_info info{};
    info.frlen = le32(bytes + 8);
    info.fridx = static_cast<uint16_t>(le16(bytes + 12) + frame_offset);
    info.frfmt = le16(bytes + 14);
    info.width = le16(bytes + 16);
    info.height = le16(bytes + 18);
    info.temp_sensor = static_cast<int16_t>(le16(bytes + 20));
    info.temp_ib = static_cast<int16_t>(le16(bytes + 22));
    info.reserved = le32(bytes + 24);
    return info;
}

}  // namespace nx::stream
