#include "api/recording_format.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "stream/stream_header.h"

namespace nx::rec {
namespace {

uint8_t *put_bytes(uint8_t *out, const void *data, size_t n) {
    std::memcpy(out, data, n);
    return out + n;
}

uint8_t *store_le64(uint8_t *out, uint64_t value) {
    out = nx::store_le32(out, static_cast<uint32_t>(value));
    return nx::store_le32(out, static_cast<uint32_t>(value >> 32));
}

uint64_t load_le64(const uint8_t *in) {
    return nx::load_le32(in) | uint64_t{nx::load_le32(in + 4)} << 32;
}

// The frame description is stored as the stream carries it: bytes 8..27 of
// a chunk header.
constexpr size_t kInfoOffset = 8;
constexpr size_t kInfoSize = 20;

uint8_t *encode_stream_info(uint8_t *out, const nx_stream_frame_info &info) {
    std::array<uint8_t, nx::stream::kHeaderSize> header{};
    nx::stream::encode_header(header.data(), nx::stream::ChunkHeader{}, info);
    return put_bytes(out, header.data() + kInfoOffset, kInfoSize);
}

nx_stream_frame_info decode_stream_info(const uint8_t *in) {
    std::array<uint8_t, nx::stream::kHeaderSize> header{};
    std::memcpy(header.data() + kInfoOffset, in, kInfoSize);
    return nx::stream::frame_info_of(header.data(), 0);
}

uint8_t *encode_meta(uint8_t *out, const nivex_frame_meta &meta) {
    out = nx::store_le32(out, meta.frame_size);
    out = nx::store_le16(out, meta.frame_format);
    out = nx::store_le16(out, meta.frame_idx);
    out = nx::store_le32(out, meta.width);
    out = nx::store_le32(out, meta.height);
    *out++ = meta.pixel_bytes;
    *out++ = meta.reserved0;
    return nx::store_le16(out, meta.reserved1);
}

nivex_frame_meta decode_meta(const uint8_t *in) {
    nivex_frame_meta meta{};
    meta.frame_size = nx::load_le32(in);
    meta.frame_format = nx::load_le16(in + 4);
    meta.frame_idx = nx::load_le16(in + 6);
    meta.width = nx::load_le32(in + 8);
    meta.height = nx::load_le32(in + 12);
    meta.pixel_bytes = in[16];
    meta.reserved0 = in[17];
    meta.reserved1 = nx::load_le16(in + 18);
    return meta;
}

}  // namespace

void encode_file_header(std::span<uint8_t, kFileHeaderSize> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    uint8_t *p = put_bytes(out.data(), kMagic.data(), kMagic.size());
    p = nx::store_le16(p, kFormatVersion);
    nx::store_le16(p, static_cast<uint16_t>(kFileHeaderSize));
}

void encode_section_header(std::span<uint8_t, kSectionHeaderSize> out, uint32_t tag,
                           uint32_t size) {
    nx::store_le32(nx::store_le32(out.data(), tag), size);
}

std::vector<uint8_t> encode_identity(const Identity &identity) {
    std::vector<uint8_t> out(kIdentitySize);
    uint8_t *p = put_bytes(out.data(), identity.block.data(), identity.block.size());
    p = put_bytes(p, identity.product.data(), identity.product.size());
    p = put_bytes(p, identity.info_str.data(), identity.info_str.size());
    p = put_bytes(p, identity.id_data.data(), identity.id_data.size());
    put_bytes(p, identity.info_data.data(), identity.info_data.size());
    return out;
}

Identity decode_identity(std::span<const uint8_t, kIdentitySize> in) {
    Identity identity;
    const uint8_t *p = in.data();
    auto take = [&p](auto &field) {
        std::memcpy(field.data(), p, field.size());
        p += field.size();
    };
    take(identity.block);
    take(identity.product);
    take(identity.info_str);
    take(identity.id_data);
    take(identity.info_data);
    // The texts are used as C strings: a recording cannot make them unterminated.
    identity.product.back() = '\0';
    identity.info_str.back() = '\0';
    return identity;
}

std::vector<uint8_t> encode_params(std::span<const ll_param_entry> params) {
    std::vector<uint8_t> out(params.size() * kParamRecordSize);
    uint8_t *p = out.data();
    for (const ll_param_entry &entry : params) {
        *p++ = entry.id;
        *p++ = entry.len;
        p = put_bytes(p, entry.val, sizeof entry.val);
    }
    return out;
}

bool decode_params(std::span<const uint8_t> in, std::vector<ll_param_entry> &out) {
    if (in.size() % kParamRecordSize != 0) return false;
    for (size_t at = 0; at < in.size(); at += kParamRecordSize) {
        ll_param_entry entry{};
        entry.id = in[at];
        entry.len = in[at + 1];
        if (entry.len > sizeof entry.val) return false;
        std::memcpy(entry.val, in.data() + at + 2, sizeof entry.val);
        out.push_back(entry);
    }
    return true;
}

std::vector<uint8_t> encode_registers(const RegisterBlock &block) {
    std::vector<uint8_t> out(kRegisterHeadSize + 4 * block.values.size());
    uint8_t *p = nx::store_le32(out.data(), block.target);
    p = nx::store_le32(p, block.base);
    p = nx::store_le32(p, static_cast<uint32_t>(block.values.size()));
    for (uint32_t value : block.values)
        p = nx::store_le32(p, value);
    return out;
}

bool decode_registers(std::span<const uint8_t> in, RegisterBlock &out) {
    if (in.size() < kRegisterHeadSize) return false;
    const uint32_t count = nx::load_le32(in.data() + 8);
    if ((in.size() - kRegisterHeadSize) / 4 != count || (in.size() - kRegisterHeadSize) % 4 != 0)
        return false;
    out.target = nx::load_le32(in.data());
    out.base = nx::load_le32(in.data() + 4);
    out.values.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        out.values[i] = nx::load_le32(in.data() + kRegisterHeadSize + 4 * size_t{i});
    return true;
}

std::vector<uint8_t> encode_filters(std::span<const FilterSetting> filters) {
    std::vector<uint8_t> out(filters.size() * kFilterRecordSize);
    uint8_t *p = out.data();
    for (const FilterSetting &filter : filters) {
        p[0] = filter.id;
        p[1] = filter.on ? 1 : 0;
        nx::store_le16(p + 2, filter.arg);
        p += kFilterRecordSize;
    }
    return out;
}

bool decode_filters(std::span<const uint8_t> in, std::vector<FilterSetting> &out) {
    if (in.size() % kFilterRecordSize != 0) return false;
    for (size_t at = 0; at < in.size(); at += kFilterRecordSize) {
        if (in[at + 1] > 1) return false;
        out.push_back({in[at], in[at + 1] == 1, nx::load_le16(in.data() + at + 2)});
    }
    return true;
}

std::vector<uint8_t> encode_file(const CalibFile &file) {
    std::vector<uint8_t> out(2 + file.name.size() + file.bytes.size());
    uint8_t *p = nx::store_le16(out.data(), static_cast<uint16_t>(file.name.size()));
    p = put_bytes(p, file.name.data(), file.name.size());
    if (!file.bytes.empty()) put_bytes(p, file.bytes.data(), file.bytes.size());
    return out;
}

bool decode_file(std::span<const uint8_t> in, CalibFile &out) {
    if (in.size() < 2) return false;
    const size_t name_size = nx::load_le16(in.data());
    if (name_size > in.size() - 2) return false;
    out.name.assign(reinterpret_cast<const char *>(in.data() + 2), name_size);
    if (!safe_file_name(out.name)) return false;
    out.bytes.assign(in.begin() + static_cast<std::ptrdiff_t>(2 + name_size), in.end());
    return true;
}

void encode_frame_head(std::span<uint8_t, kFrameHeadSize> out, const FrameHead &head) {
    uint8_t *p = encode_stream_info(out.data(), head.info);
    p = encode_meta(p, head.meta);
    store_le64(p, head.usec);
}

FrameHead decode_frame_head(std::span<const uint8_t, kFrameHeadSize> in) {
    FrameHead head;
    head.info = decode_stream_info(in.data());
    head.meta = decode_meta(in.data() + 20);
    head.usec = load_le64(in.data() + 40);
    return head;
}

bool safe_file_name(const std::string &name) {
    if (name.empty() || name.size() > kMaxFileNameSize || name == "." || name == "..") return false;
    return name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace nx::rec
