// The camera parameters the tool knows by name, how their values are laid
// out, and their conversion from and to text. Other ids (0 to 255) are passed
// through as raw bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "nivex.h"

namespace nivex_tool {

enum class ValueKind { kU8, kU16, kU32, kText, kBytes, kChipInfo, kDataInfo, kTemperatures, kDcs };

struct ParamInfo {
    const char *name;
    uint32_t id;
    ValueKind kind;
    const char *meaning;
};

std::span<const ParamInfo> known_params();
// A name of known_params() or a number 0..255 (hex or decimal); throws a
// usage error naming the text otherwise.
ParamInfo find_param(const std::string &name_or_id);

// The value of a parameter the camera returned, as text.
std::string format_param(const ParamInfo &param, const nivex_param_entry &entry);
// An entry to set from text: numbers (hex or decimal) for the numeric kinds,
// the text itself for text, hex bytes ("0a:0b:ff" or "0a0bff") otherwise.
nivex_param_entry parse_param(const ParamInfo &param, const std::string &text);

// Reads one parameter; false when the camera did not answer it.
bool read_param(nivex_device *dev, uint32_t id, nivex_param_entry &entry);

}  // namespace nivex_tool
