#include "api/recording_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "api/frame_file_io.h"
#include "common/byte_order.h"
#include "common/nx_log.h"
#include "stream/stream_header.h"

namespace nx::rec {
namespace {

struct Section {
    uint32_t tag = 0;
    uint32_t size = 0;
    int64_t body = 0;  // file offset of the body
};

std::string tag_text(uint32_t tag) {
    std::string text(4, '?');
    for (size_t i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        if (c >= 0x20 && c < 0x7F) text[i] = c;
    }
    return text;
}

bool read_at(int fd, int64_t offset, void *data, size_t size) {
    return fd_seek(fd, offset) && read_full(fd, data, size) == static_cast<int64_t>(size);
}

// Magic, version and the header's own size; the offset of the first section.
std::optional<int64_t> read_file_header(int fd, int64_t file_size, const char *fn) {
    std::array<uint8_t, kFileHeaderSize> header{};
    if (file_size < static_cast<int64_t>(header.size()) ||
        !read_at(fd, 0, header.data(), header.size())) {
        NX_ERR(fn, "[%s] not a recording: file too short (%lld bytes)\n",
               static_cast<long long>(file_size));
        return std::nullopt;
    }
    if (!std::equal(kMagic.begin(), kMagic.end(), header.begin())) {
        NX_ERR(fn, "[%s] not a recording: wrong magic\n");
        return std::nullopt;
    }
    const uint16_t version = nx::load_le16(header.data() + 8);
    if (version != kFormatVersion) {
        NX_ERR(fn, "[%s] recording format version %u not supported (this library reads %u)\n",
               static_cast<unsigned>(version), static_cast<unsigned>(kFormatVersion));
        return std::nullopt;
    }
    const uint16_t header_size = nx::load_le16(header.data() + 10);
    if (header_size < kFileHeaderSize || header_size > file_size) {
        NX_ERR(fn, "[%s] recording damaged: header size %u\n", static_cast<unsigned>(header_size));
        return std::nullopt;
    }
    return header_size;
}

class SectionParser {
  public:
    SectionParser(int fd, const char *fn, Recording &out) : fd_(fd), fn_(fn), out_(out) {}

    bool parse(const Section &s) {
        if (s.tag == kTagFrame) return parse_frame(s);
        if (!known(s.tag)) {
            NX_DBG(fn_, "[%s] section %s of %u bytes skipped\n", tag_text(s.tag).c_str(), s.size);
            return true;
        }
        std::vector<uint8_t> body(s.size);
        if (!read_at(fd_, s.body, body.data(), body.size())) return damaged(s);
        return parse_body(s, body) || damaged(s);
    }

    bool has_identity() const { return has_identity_; }

  private:
    static bool known(uint32_t tag) {
        return tag == kTagIdentity || tag == kTagParams || tag == kTagRegisters ||
               tag == kTagFilters || tag == kTagFile;
    }

    bool parse_body(const Section &s, std::span<const uint8_t> body) {
        switch (s.tag) {
            case kTagIdentity:
                if (body.size() < kIdentitySize) return false;
                out_.identity = decode_identity(body.first<kIdentitySize>());
                has_identity_ = true;
                return true;
            case kTagParams:
                return decode_params(body, out_.params);
            case kTagRegisters:
                return decode_registers(body, out_.registers.emplace_back());
            case kTagFilters:
                return decode_filters(body, out_.filters);
            default:
                return decode_file(body, out_.files.emplace_back());
        }
    }

    bool parse_frame(const Section &s) {
        std::array<uint8_t, kFrameHeadSize> head{};
        if (s.size < head.size() || !read_at(fd_, s.body, head.data(), head.size()))
            return damaged(s);
        FrameRef frame{decode_frame_head(head), s.body + static_cast<int64_t>(head.size())};
        const uint32_t frlen = frame.head.info.frlen;
        if (frlen == 0 || frlen > nx::stream::kMaxFrameLength || s.size - head.size() != frlen)
            return damaged(s);
        out_.frames.push_back(frame);
        return true;
    }

    bool damaged(const Section &s) {
        NX_ERR(fn_, "[%s] recording damaged: section %s at offset %lld (%u bytes) unreadable\n",
               tag_text(s.tag).c_str(), static_cast<long long>(s.body) - 8, s.size);
        return false;
    }

    int fd_;
    const char *fn_;
    Recording &out_;
    bool has_identity_ = false;
};

// A section that does not fit the file: the end of a recording cut short
// when it lies among the frames, a damaged file before them.
bool accept_cut(Recording &out, int64_t at, const char *fn) {
    if (out.frames.empty()) {
        NX_ERR(fn, "[%s] recording truncated at offset %lld, before its first frame\n",
               static_cast<long long>(at));
        return false;
    }
    NX_WRN(fn, "[%s] recording cut short at offset %lld: %zu complete frames kept\n",
           static_cast<long long>(at), out.frames.size());
    out.cut_short = true;
    return true;
}

}  // namespace

std::optional<Recording> read_recording(int fd, const char *fn) {
    const int64_t file_size = fd_bytes_left(fd, 0);
    if (file_size < 0) {
        NX_ERR(fn, "[%s] not a recording: not a regular file\n");
        return std::nullopt;
    }
    std::optional<int64_t> first = read_file_header(fd, file_size, fn);
    if (!first) return std::nullopt;
    Recording out;
    SectionParser parser(fd, fn, out);
    for (int64_t at = *first; at < file_size;) {
        std::array<uint8_t, kSectionHeaderSize> header{};
        const bool header_fits = file_size - at >= static_cast<int64_t>(header.size());
        if (!header_fits || !read_at(fd, at, header.data(), header.size())) {
            if (!accept_cut(out, at, fn)) return std::nullopt;
            break;
        }
        const Section s{nx::load_le32(header.data()), nx::load_le32(header.data() + 4),
                        at + static_cast<int64_t>(header.size())};
        if (s.size > file_size - s.body) {
            if (!accept_cut(out, at, fn)) return std::nullopt;
            break;
        }
        if (!parser.parse(s)) return std::nullopt;
        at = s.body + s.size;
    }
    if (!parser.has_identity()) {
        NX_ERR(fn, "[%s] recording damaged: no identity section\n");
        return std::nullopt;
    }
    return out;
}

bool read_frame_bytes(int fd, const FrameRef &frame, std::span<uint8_t> out) {
    const uint32_t frlen = frame.head.info.frlen;
    return out.size() >= frlen && read_at(fd, frame.offset, out.data(), frlen);
}

}  // namespace nx::rec
