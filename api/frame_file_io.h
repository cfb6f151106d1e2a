// Descriptor I/O of the frame files: position, whole writes, whole reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx {

// The current position of fd; -1 when it cannot be told (a pipe, a socket,
// a descriptor that is not open).
int64_t fd_position(int fd);
// Moves fd to `position`; false when it cannot.
bool fd_seek(int fd, int64_t position);
// Bytes between the position and the end of a regular file; -1 for anything
// else (whose end is not known in advance).
int64_t fd_bytes_left(int fd, int64_t position);
// Writes all `size` bytes (retrying short writes); false when fewer could be
// written.
bool write_all(int fd, const void *data, size_t size);
// Reads up to `size` bytes, stopping early only at the end of the file;
// returns the count read, or -1 when an error came before any byte.
int64_t read_full(int fd, void *data, size_t size);

}  // namespace nx
