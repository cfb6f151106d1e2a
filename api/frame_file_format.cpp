#include "api/frame_file_format.h"

#include <array>
#include <cstdio>

namespace nx {

namespace {

struct HeaderForm {
    FrameKind kind;
    SampleType type;
    std::string_view prefix;  // the line up to the width
};

// In the order a header is matched against them.
constexpr std::array<HeaderForm, 5> kForms = {{
    {FrameKind::kDistance, SampleType::kF32, "NX_DIST,F32,"},
    {FrameKind::kDistance, SampleType::kU32, "NX_DIST,U32,"},
    {FrameKind::kDistance, SampleType::kU16, "NX_DIST,U16,"},
    {FrameKind::kGray, SampleType::kU8, "NX_GRAY,U8,"},
    {FrameKind::kGray, SampleType::kU16, "NX_GRAY,U16,"},
}};

bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal int as a "%d" conversion reads it: leading white space, an
// optional sign, at least one digit. A number beyond the int range is no
// number. Advances `at` past it.
std::optional<int> read_int(std::string_view text, size_t &at) {
    size_t i = at;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    const size_t digits = i;
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0x80000000LL) return std::nullopt;
    }
    if (i == digits) return std::nullopt;
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) return std::nullopt;
    at = i;
    return static_cast<int>(value);
}

std::optional<FrameHeader> match(const HeaderForm &form, std::string_view line) {
    if (line.substr(0, form.prefix.size()) != form.prefix) return std::nullopt;
    size_t at = form.prefix.size();
    const std::optional<int> width = read_int(line, at);
    if (!width || at >= line.size() || line[at] != ',') return std::nullopt;
    ++at;
    const std::optional<int> height = read_int(line, at);
    if (!height) return std::nullopt;
    return FrameHeader{*width, *height, form.type};
}

}  // namespace

size_t sample_bytes(SampleType type) {
    switch (type) {
        case SampleType::kF32:
        case SampleType::kU32:
            return 4;
        case SampleType::kU16:
            return 2;
        default:
            return 1;
    }
}

const char *sample_name(SampleType type) {
    switch (type) {
        case SampleType::kF32:
            return "F32";
        case SampleType::kU32:
            return "U32";
        case SampleType::kU16:
            return "U16";
        default:
            return "U8";
    }
}

size_t format_header(FrameKind kind, SampleType type, int width, int height,
                     char (&out)[kHeaderMax]) {
    const char *tag = kind == FrameKind::kDistance ? "NX_DIST" : "NX_GRAY";
    const int n =
        std::snprintf(out, sizeof out, "%s,%s,%d,%d\n", tag, sample_name(type), width, height);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

std::optional<FrameHeader> parse_header(FrameKind kind, std::string_view line) {
    for (const HeaderForm &form : kForms) {
        if (form.kind != kind) continue;
        if (std::optional<FrameHeader> header = match(form, line)) return header;
    }
    return std::nullopt;
}

uint64_t frame_bytes(const FrameHeader &header) {
    if (header.width < 1 || header.height < 1) return 0;
    const uint64_t bytes = static_cast<uint64_t>(header.width) *
                           static_cast<uint64_t>(header.height) * sample_bytes(header.type);
    return bytes <= kFrameBytesMax ? bytes : 0;
}

}  // namespace nx
