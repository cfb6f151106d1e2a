#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "tool_error.h"

namespace nivex_tool {
namespace {

ToolError bad_number(const std::string &text, const std::string &what) {
    return usage_error("bad number '" + text + "' for " + what);
}

}  // namespace

uint32_t parse_u32(const std::string &text, const std::string &what) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        throw bad_number(text, what);
    return value;
}

uint32_t parse_u32_max(const std::string &text, uint32_t max, const std::string &what) {
    uint32_t value = parse_u32(text, what);
    if (value > max)
        throw usage_error(what + " must be at most " + std::to_string(max) + ", got " + text);
    return value;
}

double parse_real(const std::string &text, const std::string &what) {
    char *end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(value)) throw bad_number(text, what);
    return value;
}

Range parse_range(const std::string &text, const std::string &what) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) throw usage_error(what + " wants MIN:MAX, got " + text);
    double low = parse_real(text.substr(0, colon), what);
    double high = parse_real(text.substr(colon + 1), what);
    if (!(low < high) || low < 0) throw usage_error(what + " wants 0 <= MIN < MAX, got " + text);
    return {static_cast<float>(low), static_cast<float>(high)};
}

}  // namespace nivex_tool
