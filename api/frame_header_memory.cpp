#include "api/frame_header_memory.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>

namespace nx {

namespace {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};

struct Entry {
    FileIdentity file;
    FrameHeader header;
};

std::optional<FileIdentity> identity_of(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

std::mutex g_mutex;
// One entry per descriptor number and kind; guarded by g_mutex.
std::unordered_map<int, Entry> g_headers[2];

std::unordered_map<int, Entry> &headers_of(FrameKind kind) {
    return g_headers[kind == FrameKind::kDistance ? 0 : 1];
}

}  // namespace

void remember_header(FrameKind kind, int fd, const FrameHeader &header) {
    const std::optional<FileIdentity> file = identity_of(fd);
    std::lock_guard lock(g_mutex);
    if (!file) {
        headers_of(kind).erase(fd);
        return;
    }
    headers_of(kind)[fd] = Entry{*file, header};
}

std::optional<FrameHeader> remembered_header(FrameKind kind, int fd) {
    const std::optional<FileIdentity> file = identity_of(fd);
    if (!file) return std::nullopt;
    std::lock_guard lock(g_mutex);
    const auto &headers = headers_of(kind);
    const auto it = headers.find(fd);
    if (it == headers.end() || !(it->second.file == *file)) return std::nullopt;
    return it->second.header;
}

}  // namespace nx
