// The frame file layout: one text header line naming the kind, the sample
// type and the frame size, then frames of width x height little-endian
// samples back to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace nx {

enum class FrameKind { kDistance, kGray };
enum class SampleType { kF32, kU32, kU16, kU8 };

struct FrameHeader {
    int width = 0;
    int height = 0;
    SampleType type = SampleType::kF32;
};

// A header line is read from the first this many bytes of a file.
inline constexpr size_t kHeaderMax = 256;
// Frames above this size are refused: no camera makes them, and a hostile
// header must not make the loader read (or a saver write) gigabytes.
inline constexpr uint64_t kFrameBytesMax = uint64_t{256} << 20;

size_t sample_bytes(SampleType type);
// "F32", "U32", "U16" or "U8", as in the header and the messages.
const char *sample_name(SampleType type);
// The header line for a frame of this size, newline included, in `out`;
// returns its length.
size_t format_header(FrameKind kind, SampleType type, int width, int height,
                     char (&out)[kHeaderMax]);
// Reads a header line (without its newline): the first of the kind's forms
// that yields both numbers. The numbers are returned as written, unchecked.
std::optional<FrameHeader> parse_header(FrameKind kind, std::string_view line);
// Bytes of one frame, or 0 when the size is unusable: a width or height
// below 1, or a frame above kFrameBytesMax.
uint64_t frame_bytes(const FrameHeader &header);

}  // namespace nx
