// Loading distance and gray images from frame files, one frame per call.
//
// The file comes from anywhere, so nothing in it is trusted: a header with
// negative or oversized numbers is refused like an unreadable one, a frame
// that the rest of the file cannot hold is refused before anything is read,
// and the frame is read in pieces, so no header makes the loader allocate
// more than one piece.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "api/frame_file_format.h"
#include "api/frame_file_io.h"
#include "api/frame_header_memory.h"
#include "api/frame_samples.h"
#include "common/nx_log.h"

namespace {

using nx::FrameHeader;
using nx::FrameKind;
using nx::SampleType;

constexpr const char *kLoadDistanceFn = "nivex_frame_load_distance";
constexpr const char *kLoadGrayFn = "nivex_frame_load_gray";

// Bytes read and converted at a time.
constexpr size_t kPieceBytes = 262144;

// A header the loader accepts: sizes of 0 are remembered (the loads after
// it then return 0), negative or oversized ones are not.
bool header_acceptable(const FrameHeader &h) {
    if (h.width < 0 || h.height < 0) return false;
    return h.width == 0 || h.height == 0 || nx::frame_bytes(h) != 0;
}

// Reads and remembers the header at position 0; returns the position of the
// first frame, or -1.
int64_t read_header(const char *fn, FrameKind kind, int fd) {
    char buf[nx::kHeaderMax];
    const int64_t got = nx::read_full(fd, buf, sizeof buf);
    if (got < 1) {
        NX_ERR(fn, "[%s] faile to load NX file header\n");
        return -1;
    }
    const std::string_view bytes(buf, static_cast<size_t>(got));
    const size_t newline = bytes.find('\n');
    const size_t line_end = newline == std::string_view::npos ? bytes.size() : newline;
    const std::optional<FrameHeader> header = nx::parse_header(kind, bytes.substr(0, line_end));
    if (!header || !header_acceptable(*header)) {
        NX_ERR(fn, "[%s] faile to load NX file header\n");
        if (header) NX_DBG(fn, "[%s] frame size refused: %dx%d\n", header->width, header->height);
        nx::remember_header(kind, fd, FrameHeader{0, 0, SampleType::kF32});
        return -1;
    }
    nx::remember_header(kind, fd, *header);
    const int64_t first_frame =
        static_cast<int64_t>(newline == std::string_view::npos ? bytes.size() : newline + 1);
    if (!nx::fd_seek(fd, first_frame)) {
        NX_ERR(fn, "[%s] faile to load NX file header\n");
        return -1;
    }
    return first_frame;
}

struct LoadJob {
    const char *fn;
    FrameKind kind;
    FrameHeader header;
    float *dst;
    size_t count;  // floats to write, at most one frame
};

// Reads one whole frame, converting its first job.count samples into dst.
bool read_frame(const LoadJob &job, int fd, uint64_t frame_bytes) {
    const size_t bytes = nx::sample_bytes(job.header.type);
    std::unique_ptr<uint8_t[]> piece;
    try {
        piece = std::make_unique_for_overwrite<uint8_t[]>(
            static_cast<size_t>(std::min<uint64_t>(frame_bytes, kPieceBytes)));
    } catch (const std::bad_alloc &) {
        NX_ERR(job.fn, "[%s] malloc failed!\n");
        return false;
    }
    uint64_t done = 0;
    while (done < frame_bytes) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(frame_bytes - done, kPieceBytes));
        const int64_t got = nx::read_full(fd, piece.get(), want);
        if (got != static_cast<int64_t>(want)) {
            const int64_t ret =
                got < 0 && done == 0 ? -1 : static_cast<int64_t>(done) + std::max<int64_t>(got, 0);
            NX_ERR(job.fn, "[%s] read %d date failed: ret= %d\n", static_cast<int>(frame_bytes),
                   static_cast<int>(ret));
            return false;
        }
        const size_t first = static_cast<size_t>(done / bytes);
        if (first < job.count) {
            const size_t n = std::min(want / bytes, job.count - first);
            nx::decode_samples(job.header.type, job.kind == FrameKind::kDistance ? 1000.0f : 1.0f,
                               piece.get(), n, job.dst + first);
        }
        done += want;
    }
    return true;
}

int load(const char *fn, FrameKind kind, int fd, float *dst, int dst_len, int *p_width,
         int *p_height) {
    int64_t position = nx::fd_position(fd);
    if (position < 0) {
        NX_ERR(fn, "[%s] cannot query the position of fd %d\n", fd);
        return 0;
    }
    if (position == 0 && (position = read_header(fn, kind, fd)) < 0) return 0;
    const std::optional<FrameHeader> header = nx::remembered_header(kind, fd);
    if (!header || header->width == 0 || header->height == 0) return 0;
    const uint64_t frame_bytes = nx::frame_bytes(*header);
    const int64_t left = nx::fd_bytes_left(fd, position);
    if (left >= 0 && static_cast<uint64_t>(left) < frame_bytes) {
        NX_ERR(fn, "[%s] read %d date failed: ret= %d\n", static_cast<int>(frame_bytes),
               static_cast<int>(left));
        return 0;
    }
    const size_t pixels = static_cast<size_t>(header->width) * static_cast<size_t>(header->height);
    const size_t count = dst_len > 0 ? std::min(pixels, static_cast<size_t>(dst_len)) : 0;
    if (count > 0 && dst == nullptr) {
        NX_ERR(fn, "[%s] wrong params: dst=%p, dst_len=%d\n", static_cast<void *>(dst), dst_len);
        return 0;
    }
    if (!read_frame(LoadJob{fn, kind, *header, dst, count}, fd, frame_bytes)) return 0;
    if (p_width != nullptr) *p_width = header->width;
    if (p_height != nullptr) *p_height = header->height;
    return static_cast<int>(count);
}

}  // namespace

extern "C" {

int nivex_frame_load_distance(int fd, float *dst, int dst_len, int *p_width, int *p_height) {
    return load(kLoadDistanceFn, FrameKind::kDistance, fd, dst, dst_len, p_width, p_height);
}

int nivex_frame_load_gray(int fd, float *dst, int dst_len, int *p_width, int *p_height) {
    return load(kLoadGrayFn, FrameKind::kGray, fd, dst, dst_len, p_width, p_height);
}

}  // extern "C"
