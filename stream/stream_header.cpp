#include "stream/stream_header.h"

#include "common/byte_order.h"

namespace nx::stream {

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
    if (nx::load_le16(bytes + 34) != fletcher16(bytes, 34)) return false;
    const uint32_t frlen = nx::load_le32(bytes + 8);
    return nx::load_le32(bytes + 4) <= kMaxChunkLength && frlen != 0 && frlen <= kMaxFrameLength &&
           nx::load_le16(bytes + 14) <= kMaxFrameFormat;
}

ChunkHeader decode_header(const uint8_t *bytes) {
    ChunkHeader h{};
    h.sidx = nx::load_le16(bytes + 2);
    h.len = nx::load_le32(bytes + 4);
    h.frlen = nx::load_le32(bytes + 8);
    h.fridx = nx::load_le16(bytes + 12);
    h.frfmt = nx::load_le16(bytes + 14);
    h.data_sum = nx::load_le32(bytes + 28);
    h.frame_start = (bytes[32] & 0x01) != 0;
    h.data_sum_valid = (bytes[33] & 0x01) != 0;
    return h;
}

void encode_header(uint8_t *bytes, const ChunkHeader &h, const nx_stream_frame_info &info) {
    bytes[0] = kMagic0;
    bytes[1] = kMagic1;
    nx::store_le16(bytes + 2, h.sidx);
    nx::store_le32(bytes + 4, h.len);
    nx::store_le32(bytes + 8, info.frlen);
    nx::store_le16(bytes + 12, info.fridx);
    nx::store_le16(bytes + 14, info.frfmt);
    nx::store_le16(bytes + 16, info.width);
    nx::store_le16(bytes + 18, info.height);
    nx::store_le16(bytes + 20, static_cast<uint16_t>(info.temp_sensor));
    nx::store_le16(bytes + 22, static_cast<uint16_t>(info.temp_ib));
    nx::store_le32(bytes + 24, info.reserved);
    nx::store_le32(bytes + 28, h.data_sum);
    bytes[32] = h.frame_start ? 0x01 : 0x00;
    bytes[33] = h.data_sum_valid ? 0x01 : 0x00;
    nx::store_le16(bytes + 34, fletcher16(bytes, 34));
}

nx_stream_frame_info frame_info_of(const uint8_t *bytes, uint16_t frame_offset) {
    nx_stream_frame_info info{};
    info.frlen = nx::load_le32(bytes + 8);
    info.fridx = static_cast<uint16_t>(nx::load_le16(bytes + 12) + frame_offset);
    info.frfmt = nx::load_le16(bytes + 14);
    info.width = nx::load_le16(bytes + 16);
    info.height = nx::load_le16(bytes + 18);
    info.temp_sensor = static_cast<int16_t>(nx::load_le16(bytes + 20));
    info.temp_ib = static_cast<int16_t>(nx::load_le16(bytes + 22));
    info.reserved = nx::load_le32(bytes + 24);
    return info;
}

}  // namespace nx::stream
