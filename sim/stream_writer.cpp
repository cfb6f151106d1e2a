#include "sim/stream_writer.h"

#include <algorithm>
#include <stdexcept>

#include "sim/sim_bytes.h"

namespace nxsim {

uint16_t fletcher16(std::span<const uint8_t> bytes) {
    uint32_t sum1 = 0;
    uint32_t sum2 = 0;
    for (uint8_t b : bytes) {
        sum1 = (sum1 + b) % 255;
        sum2 = (sum2 + sum1) % 255;
    }
    return static_cast<uint16_t>(sum1 | sum2 << 8);
}

uint32_t payload_sum(std::span<const uint8_t> payload) {
    // Whole words in a plain loop the compiler can vectorise (the camera
    // model sends hundreds of megabytes a second in benchmarks), then the
    // zero-padded tail.
    const size_t whole = payload.size() / 4 * 4;
    uint32_t sum = 0;
    for (size_t i = 0; i < whole; i += 4)
        sum += get32(payload.data() + i);
    if (whole < payload.size()) {
        uint8_t word[4] = {0, 0, 0, 0};
        std::copy(payload.begin() + static_cast<std::ptrdiff_t>(whole), payload.end(), word);
        sum += get32(word);
    }
    return sum;
}

std::array<uint8_t, kChunkHeaderSize> encode_header(const ChunkHeader &h) {
    std::array<uint8_t, kChunkHeaderSize> b{};
    b[0] = 0xFB;
    b[1] = 0x98;
    put16(&b[2], h.sidx);
    put32(&b[4], h.len);
    put32(&b[8], h.frlen);
    put16(&b[12], h.fridx);
    put16(&b[14], h.frfmt);
    put16(&b[16], h.width);
    put16(&b[18], h.height);
    put16(&b[20], static_cast<uint16_t>(h.temp_sensor));
    put16(&b[22], static_cast<uint16_t>(h.temp_ib));
    put32(&b[24], h.reserved);
    put32(&b[28], h.data_sum);
    b[32] = h.flags0;
    b[33] = h.flags1;
    put16(&b[34], fletcher16(std::span(b).first(34)));
    return b;
}

ChunkHeader decode_header(std::span<const uint8_t, kChunkHeaderSize> b) {
    ChunkHeader h;
    h.sidx = get16(&b[2]);
    h.len = get32(&b[4]);
    h.frlen = get32(&b[8]);
    h.fridx = get16(&b[12]);
    h.frfmt = get16(&b[14]);
    h.width = get16(&b[16]);
    h.height = get16(&b[18]);
    h.temp_sensor = static_cast<int16_t>(get16(&b[20]));
    h.temp_ib = static_cast<int16_t>(get16(&b[22]));
    h.reserved = get32(&b[24]);
    h.data_sum = get32(&b[28]);
    h.flags0 = b[32];
    h.flags1 = b[33];
    return h;
}

ChunkHeader StreamWriter::header_for(uint32_t len, uint32_t frlen, bool frame_start) const {
    ChunkHeader h;
    h.len = len;
    h.frlen = frlen;
    h.fridx = fridx_;
    h.frfmt = description_.frfmt;
    h.width = description_.width;
    h.height = description_.height;
    h.temp_sensor = description_.temp_sensor;
    h.temp_ib = description_.temp_ib;
    h.reserved = description_.reserved;
    h.flags0 = frame_start ? kFlagFrameStart : 0;
    h.flags1 = data_sum_enabled_ ? kFlagDataSumValid : 0;
    return h;
}

void StreamWriter::write_chunk(ChunkHeader header, std::span<const uint8_t> payload,
                               std::vector<uint8_t> &out) {
    header.sidx = sidx_++;
    header.len = static_cast<uint32_t>(payload.size());
    if (header.flags1 & kFlagDataSumValid) header.data_sum = payload_sum(payload);
    if (corrupt_data_sum_) header.data_sum ^= 0x00010000u;
    std::array<uint8_t, kChunkHeaderSize> bytes = encode_header(header);
    if (corrupt_header_) bytes[34] ^= 0x5A;
    corrupt_header_ = false;
    corrupt_data_sum_ = false;
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.insert(out.end(), payload.begin(), payload.end());
}

size_t StreamWriter::write_frame(std::span<const uint8_t> frame, std::vector<uint8_t> &out,
                                 uint32_t max_chunk_payload) {
    if (max_chunk_payload == 0 || max_chunk_payload > kMaxChunkPayload) {
        max_chunk_payload = kMaxChunkPayload;
    }
    const auto frlen = static_cast<uint32_t>(frame.size());
    size_t chunks = 0;
    size_t offset = 0;
    do {
        const size_t n = std::min<size_t>(max_chunk_payload, frame.size() - offset);
        write_chunk(header_for(static_cast<uint32_t>(n), frlen, offset == 0),
                    frame.subspan(offset, n), out);
        offset += n;
        ++chunks;
    } while (offset < frame.size());
    ++fridx_;
    return chunks;
}

void StreamWriter::write_frames_in_chunk(std::span<const uint8_t> frames, uint32_t frlen,
                                         std::vector<uint8_t> &out) {
    if (frlen == 0 || frames.size() % frlen != 0 || frames.size() > kMaxChunkPayload) {
        throw std::invalid_argument("write_frames_in_chunk: not whole frames in one chunk");
    }
    write_chunk(header_for(static_cast<uint32_t>(frames.size()), frlen, true), frames, out);
    fridx_ = static_cast<uint16_t>(fridx_ + frames.size() / frlen);
}

std::vector<std::span<const uint8_t>> split_fixed(std::span<const uint8_t> stream,
                                                  size_t piece_size) {
    std::vector<std::span<const uint8_t>> pieces;
    if (piece_size == 0) piece_size = 1;
    for (size_t at = 0; at < stream.size(); at += piece_size) {
        pieces.push_back(stream.subspan(at, std::min(piece_size, stream.size() - at)));
    }
    return pieces;
}

std::vector<std::span<const uint8_t>> split_random(std::span<const uint8_t> stream,
                                                   std::mt19937 &rng, size_t min_size,
                                                   size_t max_size) {
    min_size = std::max<size_t>(min_size, 1);
    max_size = std::max(max_size, min_size);
    std::uniform_int_distribution<size_t> size_of(min_size, max_size);
    std::vector<std::span<const uint8_t>> pieces;
    for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min(size_of(rng), stream.size() - at);
        pieces.push_back(stream.subspan(at, n));
        at += n;
    }
    return pieces;
}

}  // namespace nxsim
