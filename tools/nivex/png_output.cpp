#include "png_output.h"

#include <png.h>

#include <string>

#include "tool_error.h"

namespace nivex_tool {
namespace {

void write_png(AtomicFile &file, ImageSize size, uint32_t format, const void *pixels,
               size_t samples, size_t samples_given) {
    if (samples_given < samples) throw ToolError("image data too short for " + file.path());
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = size.width;
    image.height = size.height;
    image.format = format;
    if (!png_image_write_to_stdio(&image, file.stream(), 0, pixels, 0, nullptr)) {
        std::string reason = image.message;
        png_image_free(&image);
        throw ToolError("cannot write " + file.path() + ": " + reason);
    }
}

}  // namespace

void write_png_rgb8(AtomicFile &file, ImageSize size, std::span<const uint8_t> rgb) {
    write_png(file, size, PNG_FORMAT_RGB, rgb.data(), size.pixels() * 3, rgb.size());
}

void write_png_gray8(AtomicFile &file, ImageSize size, std::span<const uint8_t> gray) {
    write_png(file, size, PNG_FORMAT_GRAY, gray.data(), size.pixels(), gray.size());
}

void write_png_gray16(AtomicFile &file, ImageSize size, std::span<const uint16_t> gray) {
    write_png(file, size, PNG_FORMAT_LINEAR_Y, gray.data(), size.pixels(), gray.size());
}

}  // namespace nivex_tool
