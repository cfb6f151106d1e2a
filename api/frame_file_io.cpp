#include "api/frame_file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nx {

int64_t fd_position(int fd) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    return at < 0 ? -1 : static_cast<int64_t>(at);
}

bool fd_seek(int fd, int64_t position) {
    return lseek(fd, static_cast<off_t>(position), SEEK_SET) == static_cast<off_t>(position);
}

int64_t fd_bytes_left(int fd, int64_t position) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    const int64_t left = static_cast<int64_t>(st.st_size) - position;
    return left > 0 ? left : 0;
}

bool write_all(int fd, const void *data, size_t size) {
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int64_t read_full(int fd, void *data, size_t size) {
    auto *p = static_cast<unsigned char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace nx
