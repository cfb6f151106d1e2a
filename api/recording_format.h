// The recording file: one camera's identity, parameters, sensor registers,
// filter switches and calibration files, followed by the raw frames of a
// capture with their descriptions. docs/recording.md describes the layout.
//
// Everything is little-endian. After a 16-byte file header (magic, format
// version, header size) the file is a run of sections, each an 8-byte
// section header (tag, body size) and its body. Readers skip sections whose
// tag they do not know, so newer writers can add sections.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ll/ll_ops.h"
#include "nivex.h"
#include "stream/nx_stream.h"

namespace nx::rec {

inline constexpr std::array<uint8_t, 8> kMagic = {'N', 'X', 'R', 'E', 'C', '\r', '\n', 0x1A};
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr size_t kFileHeaderSize = 16;
inline constexpr size_t kSectionHeaderSize = 8;

// Four characters read as a little-endian 32-bit number.
constexpr uint32_t tag_of(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

inline constexpr uint32_t kTagIdentity = tag_of("IDNT");
inline constexpr uint32_t kTagParams = tag_of("PARM");
inline constexpr uint32_t kTagRegisters = tag_of("REGS");
inline constexpr uint32_t kTagFilters = tag_of("FILT");
inline constexpr uint32_t kTagFile = tag_of("FILE");
inline constexpr uint32_t kTagFrame = tag_of("FRAM");

// Body sizes of the fixed records.
inline constexpr size_t kIdentitySize = NIVEX_IDENT_BLOCK_SIZE + 32 + 32 + 32 + 8;
inline constexpr size_t kParamRecordSize = 2 + NIVEX_PARAM_VAL_SIZE;
inline constexpr size_t kRegisterHeadSize = 12;
inline constexpr size_t kFilterRecordSize = 8;
inline constexpr size_t kFrameHeadSize = 20 + 20 + 8;
inline constexpr size_t kMaxFileNameSize = 255;

// What a recording knows of the camera: the device record's identity fields.
struct Identity {
    std::array<uint8_t, NIVEX_IDENT_BLOCK_SIZE> block{};
    std::array<char, 32> product{};
    std::array<char, 32> info_str{};
    std::array<uint8_t, 32> id_data{};
    std::array<uint8_t, 8> info_data{};
};

struct RegisterBlock {
    uint32_t target = 0;
    uint32_t base = 0;
    std::vector<uint32_t> values;
};

// A filter switch as the application left it: on with its argument, or off.
struct FilterSetting {
    uint8_t id = 0;
    bool on = false;
    uint16_t arg = 0;
};

struct CalibFile {
    std::string name;
    std::vector<uint8_t> bytes;
};

// A frame as the parser delivered it and the driver described it; `usec`
// counts from the recording's start.
struct FrameHead {
    nx_stream_frame_info info{};
    nivex_frame_meta meta{};
    uint64_t usec = 0;
};

void encode_file_header(std::span<uint8_t, kFileHeaderSize> out);
void encode_section_header(std::span<uint8_t, kSectionHeaderSize> out, uint32_t tag, uint32_t size);

std::vector<uint8_t> encode_identity(const Identity &identity);
Identity decode_identity(std::span<const uint8_t, kIdentitySize> in);

std::vector<uint8_t> encode_params(std::span<const ll_param_entry> params);
std::vector<uint8_t> encode_registers(const RegisterBlock &block);
std::vector<uint8_t> encode_filters(std::span<const FilterSetting> filters);
std::vector<uint8_t> encode_file(const CalibFile &file);

void encode_frame_head(std::span<uint8_t, kFrameHeadSize> out, const FrameHead &head);
FrameHead decode_frame_head(std::span<const uint8_t, kFrameHeadSize> in);

// Decoders of the section bodies; false when the body's size does not fit
// its content (the caller logs which section it was).
bool decode_params(std::span<const uint8_t> in, std::vector<ll_param_entry> &out);
bool decode_registers(std::span<const uint8_t> in, RegisterBlock &out);
bool decode_filters(std::span<const uint8_t> in, std::vector<FilterSetting> &out);
bool decode_file(std::span<const uint8_t> in, CalibFile &out);

// A calibration file name a replay may create in its own folder: not
// empty, no folder part, no "." or "..".
bool safe_file_name(const std::string &name);

}  // namespace nx::rec
