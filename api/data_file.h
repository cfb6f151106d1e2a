// Reading a whole image file for the data channel: the file is opened, sized
// and read in full before anything goes to the camera.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace nx::data {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A regular file opened for binary reading, with its size.
struct InputFile {
    FilePtr file;
    uint64_t size = 0;
};

// Empty when `name` is NULL, cannot be opened or is no regular file.
std::optional<InputFile> open_input(const char *name);

// Reads up to `size` bytes into `out`, resized to the bytes actually read.
// False when the memory for them cannot be had (`out` is then empty).
bool read_input(InputFile &input, std::vector<uint8_t> &out);

}  // namespace nx::data
