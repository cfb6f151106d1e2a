#include "ply_output.h"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "tool_error.h"

namespace nivex_tool {
namespace {

constexpr size_t kFloatsPerPoint = 4;
constexpr size_t kBinaryPointBytes = 3 * sizeof(float) + 3;

struct Rgb {
    uint8_t r, g, b;
};

Rgb unpack_colour(float packed) {
    auto value = static_cast<uint32_t>(packed);
    return {static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF),
            static_cast<uint8_t>((value >> 16) & 0xFF)};
}

std::string header(size_t count, PlyEncoding encoding) {
    const char *format = encoding == PlyEncoding::kAscii ? "ascii" : "binary_little_endian";
    return std::string("ply\nformat ") + format +
           " 1.0\ncomment written by nivex\nelement vertex " + std::to_string(count) +
           "\nproperty float x\nproperty float y\nproperty float z\n"
           "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
}

void put_le_float(uint8_t *out, float value) {
    auto bits = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

void write_binary(FILE *out, std::span<const float> points) {
    std::vector<uint8_t> block;
    block.reserve(points.size() / kFloatsPerPoint * kBinaryPointBytes);
    for (size_t i = 0; i + kFloatsPerPoint <= points.size(); i += kFloatsPerPoint) {
        uint8_t record[kBinaryPointBytes];
        for (int axis = 0; axis < 3; ++axis)
            put_le_float(record + 4 * axis, points[i + static_cast<size_t>(axis)]);
        Rgb colour = unpack_colour(points[i + 3]);
        record[12] = colour.r;
        record[13] = colour.g;
        record[14] = colour.b;
        block.insert(block.end(), record, record + kBinaryPointBytes);
    }
    std::fwrite(block.data(), 1, block.size(), out);
}

void write_ascii(FILE *out, std::span<const float> points) {
    for (size_t i = 0; i + kFloatsPerPoint <= points.size(); i += kFloatsPerPoint) {
        Rgb colour = unpack_colour(points[i + 3]);
        std::fprintf(out, "%.9g %.9g %.9g %u %u %u\n", static_cast<double>(points[i]),
                     static_cast<double>(points[i + 1]), static_cast<double>(points[i + 2]),
                     colour.r, colour.g, colour.b);
    }
}

}  // namespace

void write_ply(AtomicFile &file, std::span<const float> points, PlyEncoding encoding) {
    FILE *out = file.stream();
    std::string head = header(points.size() / kFloatsPerPoint, encoding);
    std::fwrite(head.data(), 1, head.size(), out);
    if (encoding == PlyEncoding::kAscii)
        write_ascii(out, points);
    else
        write_binary(out, points);
    if (std::ferror(out)) throw ToolError("cannot write " + file.path());
}

}  // namespace nivex_tool
