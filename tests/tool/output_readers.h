// Reads back what the tool wrote: PNG images through libpng, PLY point clouds
// and distance frame files through the library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tooltest {

struct PngImage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    bool sixteen_bit = false;
    std::vector<uint8_t> bytes;   // 8-bit images
    std::vector<uint16_t> words;  // 16-bit images
};
// Decodes in the file's own format; an empty image when it does not decode.
PngImage read_png(const std::filesystem::path &path);

struct PlyPoint {
    float x, y, z;
    uint8_t r, g, b;
};
struct PlyCloud {
    std::string format;  // "binary_little_endian" or "ascii"
    size_t declared = 0;
    std::vector<std::string> properties;
    std::vector<PlyPoint> points;
};
PlyCloud read_ply(const std::filesystem::path &path);

struct DistanceFrames {
    int width = 0;
    int height = 0;
    std::vector<std::vector<float>> frames;
};
DistanceFrames read_distance_file(const std::filesystem::path &path);

}  // namespace tooltest
