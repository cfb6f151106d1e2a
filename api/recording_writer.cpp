#include "api/recording_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "api/frame_file_io.h"
#include "common/nx_log.h"

namespace nx::rec {

std::unique_ptr<Recorder> Recorder::create(const char *path, const char *fn) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        NX_ERR(fn, "[%s] cannot create recording %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    std::unique_ptr<Recorder> recorder;
    try {
        recorder.reset(new Recorder(fd, fn));
    } catch (const std::bad_alloc &) {
        ::close(fd);
        NX_ERR(fn, "[%s] malloc failed\n");
        return nullptr;
    }
    std::array<uint8_t, kFileHeaderSize> header{};
    encode_file_header(header);
    if (!write_all(fd, header.data(), header.size())) {
        NX_ERR(fn, "[%s] cannot write recording %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    return recorder;
}

Recorder::Recorder(int fd, const char *fn)
    : fd_(fd), fn_(fn), start_(std::chrono::steady_clock::now()) {}

Recorder::~Recorder() {
    ::close(fd_);
}

bool Recorder::write_record(uint32_t tag, std::span<const uint8_t> head,
                            std::span<const uint8_t> body) {
    const size_t size = head.size() + body.size();
    if (size > std::numeric_limits<uint32_t>::max()) return false;
    std::array<uint8_t, kSectionHeaderSize> section{};
    encode_section_header(section, tag, static_cast<uint32_t>(size));
    return write_all(fd_, section.data(), section.size()) &&
           write_all(fd_, head.data(), head.size()) && write_all(fd_, body.data(), body.size());
}

bool Recorder::write_section(uint32_t tag, std::span<const uint8_t> body) {
    std::lock_guard lock(mu_);
    return !failed_ && write_record(tag, {}, body);
}

void Recorder::append_frame(const nx_stream_frame_info &info, const nivex_frame_meta &meta,
                            const uint8_t *data) {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    FrameHead head{info, meta,
                   static_cast<uint64_t>(
                       std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count())};
    std::array<uint8_t, kFrameHeadSize> bytes{};
    encode_frame_head(bytes, head);
    std::lock_guard lock(mu_);
    if (failed_) return;
    if (!write_record(kTagFrame, bytes, {data, info.frlen})) {
        failed_ = true;
        NX_ERR(fn_, "[%s] recording stopped after %u frames: %s\n", frames_.load(),
               std::strerror(errno));
        return;
    }
    frames_.fetch_add(1);
}

}  // namespace nx::rec
