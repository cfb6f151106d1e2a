// The fuzz input as a file: an anonymous in-memory file holding the bytes,
// positioned at its start; -1 when none can be made.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

inline int memory_file_with(const char *name, const uint8_t *data, size_t size) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) return -1;
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0) break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}
