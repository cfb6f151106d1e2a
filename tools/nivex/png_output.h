// PNG images through libpng's simplified writer: 8-bit RGB, 8-bit gray and
// 16-bit gray (written as stored, e.g. millimetres). Each writes the whole
// image into the file's temporary stream and throws ToolError on failure.
#pragma once

#include <cstdint>
#include <span>

#include "atomic_file.h"

namespace nivex_tool {

struct ImageSize {
    uint32_t width;
    uint32_t height;
    size_t pixels() const { return static_cast<size_t>(width) * height; }
};

void write_png_rgb8(AtomicFile &file, ImageSize size, std::span<const uint8_t> rgb);
void write_png_gray8(AtomicFile &file, ImageSize size, std::span<const uint8_t> gray);
void write_png_gray16(AtomicFile &file, ImageSize size, std::span<const uint16_t> gray);

}  // namespace nivex_tool
