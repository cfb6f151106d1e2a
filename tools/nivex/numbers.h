// Numbers as the user types them: decimal, or hexadecimal with 0x. A text
// that is not wholly a number in range is a usage error naming `what`.
#pragma once

#include <cstdint>
#include <string>

namespace nivex_tool {

uint32_t parse_u32(const std::string &text, const std::string &what);
// parse_u32 limited to 0..max.
uint32_t parse_u32_max(const std::string &text, uint32_t max, const std::string &what);
// A decimal or fractional number (e.g. "0.5", "4").
double parse_real(const std::string &text, const std::string &what);

struct Range {
    float low;
    float high;
};
// "MIN:MAX" in metres, MIN < MAX, both finite.
Range parse_range(const std::string &text, const std::string &what);

}  // namespace nivex_tool
