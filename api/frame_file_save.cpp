// Saving distance and gray images into frame files.
//
// Everything is checked before the first byte is written, so a refused call
// leaves the file as it was. Samples are converted and written in pieces, so
// saving long sequences takes a small buffer and runs at the speed of the
// disk.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include "api/frame_file_format.h"
#include "api/frame_file_io.h"
#include "api/frame_samples.h"
#include "common/nx_log.h"

namespace {

using nx::FrameHeader;
using nx::FrameKind;
using nx::SampleType;

constexpr const char *kSaveDistanceFn = "nivex_frame_save_distance";
constexpr const char *kSaveGrayFn = "nivex_frame_save_gray";

// Samples converted and written at a time.
constexpr size_t kPieceSamples = 65536;

std::optional<SampleType> distance_type(int fmt) {
    switch (fmt) {
        case NIVEX_FRAME_SAVE_F32:
            return SampleType::kF32;
        case NIVEX_FRAME_SAVE_U32:
            return SampleType::kU32;
        case NIVEX_FRAME_SAVE_U16:
            return SampleType::kU16;
        default:
            return std::nullopt;
    }
}

std::optional<SampleType> gray_type(int fmt) {
    switch (fmt) {
        case NIVEX_FRAME_SAVE_U16:
            return SampleType::kU16;
        case NIVEX_FRAME_SAVE_U8:
            return SampleType::kU8;
        default:
            return std::nullopt;
    }
}

struct SaveJob {
    const char *fn;
    FrameKind kind;
    SampleType type;
    float scale;
    const float *src;
    size_t samples;  // whole frames
    int width;
    int height;
};

bool write_header(const SaveJob &job, int fd) {
    char line[nx::kHeaderMax];
    const size_t n = nx::format_header(job.kind, job.type, job.width, job.height, line);
    if (n > 0 && nx::write_all(fd, line, n)) return true;
    if (job.kind == FrameKind::kDistance)
        NX_ERR(job.fn, "[%s] faile to save NX_DIST header\n");
    else
        NX_ERR(job.fn, "[%s] faile to save NX_GRAY header\n");
    return false;
}

bool write_samples(const SaveJob &job, int fd) {
    const size_t bytes = nx::sample_bytes(job.type);
    std::unique_ptr<uint8_t[]> piece;
    try {
        piece =
            std::make_unique_for_overwrite<uint8_t[]>(std::min(job.samples, kPieceSamples) * bytes);
    } catch (const std::bad_alloc &) {
        NX_ERR(job.fn, "[%s] malloc failed!\n");
        return false;
    }
    for (size_t at = 0; at < job.samples; at += kPieceSamples) {
        const size_t n = std::min(kPieceSamples, job.samples - at);
        nx::encode_samples(job.type, job.scale, job.src + at, n, piece.get());
        if (nx::write_all(fd, piece.get(), n * bytes)) continue;
        const int total = static_cast<int>(job.samples * bytes);
        const char *name = nx::sample_name(job.type);
        if (job.kind == FrameKind::kDistance)
            NX_ERR(job.fn, "[%s] faile to save NX_DIST %s data: %d bytes\n", name, total);
        else
            NX_ERR(job.fn, "[%s] faile to save NX_GRAY %s data: %d bytes\n", name, total);
        return false;
    }
    return true;
}

// The position decides about the header: only a file written from its start
// gets one. A descriptor without a position (a pipe) is refused, since
// whether it needs a header cannot be told.
bool save(const SaveJob &job, int fd) {
    const int64_t position = nx::fd_position(fd);
    if (position < 0) {
        NX_ERR(job.fn, "[%s] cannot query the position of fd %d\n", fd);
        return false;
    }
    if (position == 0 && !write_header(job, fd)) return false;
    return write_samples(job, fd);
}

// Frame sizes a file can hold and a loader will read back.
bool frame_size_usable(const char *fn, int width, int height, SampleType type) {
    if (nx::frame_bytes(FrameHeader{width, height, type}) != 0) return true;
    NX_ERR(fn, "[%s] wrong frame size: %dx%d\n", width, height);
    return false;
}

bool source_usable(const char *fn, const float *src, int src_len) {
    if (src_len >= 0 && (src != nullptr || src_len == 0)) return true;
    NX_ERR(fn, "[%s] wrong params: src=%p, src_len=%d\n", static_cast<const void *>(src), src_len);
    return false;
}

}  // namespace

extern "C" {

int nivex_frame_save_distance(int fd, int fmt, const float *src, int src_len, int width,
                              int height) {
    const std::optional<SampleType> type = distance_type(fmt);
    if (!type) {
        NX_ERR(kSaveDistanceFn, "[%s] wrong distance save format: %d\n", fmt);
        return 0;
    }
    if (!frame_size_usable(kSaveDistanceFn, width, height, *type)) return 0;
    if (!source_usable(kSaveDistanceFn, src, src_len)) return 0;
    // Every whole frame in src; a trailing partial frame is left out.
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t samples = static_cast<size_t>(src_len) / pixels * pixels;
    const SaveJob job{kSaveDistanceFn, FrameKind::kDistance, *type, 1000.0f, src, samples, width,
                      height};
    return save(job, fd) ? 1 : 0;
}

int nivex_frame_save_gray(int fd, int fmt, const float *src, int src_len, int width, int height) {
    const std::optional<SampleType> type = gray_type(fmt);
    if (!type) {
        NX_ERR(kSaveGrayFn, "[%s] wrong gray save format: %d\n", fmt);
        return 0;
    }
    if (!frame_size_usable(kSaveGrayFn, width, height, *type)) return 0;
    if (!source_usable(kSaveGrayFn, src, src_len)) return 0;
    // One frame; a shorter image would shift every later frame of the file.
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (static_cast<size_t>(src_len) < pixels) {
        NX_ERR(kSaveGrayFn, "[%s] gray image shorter than one frame: %d < %dx%d\n", src_len, width,
               height);
        return 0;
    }
    const SaveJob job{kSaveGrayFn, FrameKind::kGray, *type, 1.0f, src, pixels, width, height};
    return save(job, fd) ? 1 : 0;
}

}  // extern "C"
