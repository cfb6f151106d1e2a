#include "param_table.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "numbers.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

constexpr ParamInfo kParams[] = {
    {"dev_mode", NIVEX_PARAM_DEV_MODE, ValueKind::kU8, "0 normal, 9 data upload"},
    {"info", NIVEX_PARAM_INFO_STR, ValueKind::kText, "information text"},
    {"product", NIVEX_PARAM_PRODUCT_STR, ValueKind::kText, "<maker>-<chip code>-<version>"},
    {"id_data", NIVEX_PARAM_ID_DATA, ValueKind::kBytes, "raw identity bytes"},
    {"info_data", NIVEX_PARAM_INFO_DATA, ValueKind::kBytes, "raw information bytes"},
    {"chip_info", NIVEX_PARAM_CHIP_INFO, ValueKind::kChipInfo, "part version, chip id, wafer id"},
    {"data_info", NIVEX_PARAM_DATA_INFO, ValueKind::kDataInfo, "stored calibration data"},
    {"sensor_mode", NIVEX_PARAM_SENSOR_MODE, ValueKind::kU8, "sensor mode 0..2"},
    {"frame_rate", NIVEX_PARAM_FRAME_RATE, ValueKind::kU32, "frames per second"},
    {"intg_time", NIVEX_PARAM_INTG_TIME, ValueKind::kU16, "integration time (us)"},
    {"temperature", NIVEX_PARAM_TEMPERATURE, ValueKind::kTemperatures, "readings (degC)"},
    {"dcs_check", NIVEX_PARAM_DCS_CHECK, ValueKind::kDcs, "DCS check flag and value"},
};

uint32_t le(const nivex_param_entry &entry, size_t offset, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = 0; i < bytes && offset + i < NIVEX_PARAM_VAL_SIZE; ++i)
        value |= static_cast<uint32_t>(entry.param_val.data[offset + i]) << (8 * i);
    return value;
}

size_t value_length(const nivex_param_entry &entry) {
    return entry.param_val_len < NIVEX_PARAM_VAL_SIZE ? entry.param_val_len : NIVEX_PARAM_VAL_SIZE;
}

std::string hex_bytes(const nivex_param_entry &entry) {
    std::string out;
    for (size_t i = 0; i < value_length(entry); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", entry.param_val.data[i]);
        out += (i ? " " : "") + std::string(byte);
    }
    return out;
}

std::string temperatures(const nivex_param_entry &entry) {
    std::string out;
    for (size_t i = 0; i + 1 < value_length(entry); i += 2) {
        auto tenths = static_cast<int16_t>(le(entry, i, 2));
        char reading[16];
        std::snprintf(reading, sizeof reading, "%.1f", tenths / 10.0);
        out += (i ? " " : "") + std::string(reading);
    }
    return out;
}

std::string text_value(const nivex_param_entry &entry) {
    const char *text = entry.param_val.str;
    return std::string(text, strnlen(text, value_length(entry)));
}

void put_le(nivex_param_entry &entry, uint32_t value, uint8_t bytes) {
    for (uint8_t i = 0; i < bytes; ++i)
        entry.param_val.data[i] = static_cast<uint8_t>(value >> (8 * i));
    entry.param_val_len = bytes;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void parse_hex_bytes(const std::string &text, nivex_param_entry &entry) {
    std::string digits;
    for (char c : text)
        if (c != ':' && c != ' ') digits += c;
    if (digits.empty() || digits.size() % 2 != 0 || digits.size() / 2 > NIVEX_PARAM_VAL_SIZE)
        throw usage_error("want 1 to 18 hex bytes (e.g. 0a:0b:ff), got '" + text + "'");
    for (size_t i = 0; i < digits.size(); i += 2) {
        int high = hex_digit(digits[i]);
        int low = hex_digit(digits[i + 1]);
        if (high < 0 || low < 0) throw usage_error("not a hex byte string: '" + text + "'");
        entry.param_val.data[i / 2] = static_cast<uint8_t>(high * 16 + low);
    }
    entry.param_val_len = static_cast<uint8_t>(digits.size() / 2);
}

}  // namespace

std::span<const ParamInfo> known_params() {
    return kParams;
}

ParamInfo find_param(const std::string &name_or_id) {
    for (const ParamInfo &param : kParams)
        if (name_or_id == param.name) return param;
    if (name_or_id.empty() || !std::isdigit(static_cast<unsigned char>(name_or_id[0])))
        throw usage_error("unknown parameter '" + name_or_id + "' (see nivex param --help)");
    uint32_t id = parse_u32_max(name_or_id, 255, "parameter id");
    for (const ParamInfo &param : kParams)
        if (param.id == id) return param;
    return {"", id, ValueKind::kBytes, "raw bytes"};
}

std::string format_param(const ParamInfo &param, const nivex_param_entry &entry) {
    switch (param.kind) {
        case ValueKind::kU8:
            return std::to_string(le(entry, 0, 1));
        case ValueKind::kU16:
            return std::to_string(le(entry, 0, 2));
        case ValueKind::kU32:
            return std::to_string(le(entry, 0, 4));
        case ValueKind::kText:
            return text_value(entry);
        case ValueKind::kChipInfo:
            return "part version " + std::to_string(le(entry, 0, 2)) + ", chip id " +
                   std::to_string(le(entry, 2, 2)) + ", wafer id " +
                   std::to_string(le(entry, 4, 2));
        case ValueKind::kDataInfo:
            return std::string(le(entry, 0, 1) == 1 ? "valid" : "none") + ", version " +
                   std::to_string(le(entry, 3, 4)) + ", file size " +
                   std::to_string(le(entry, 7, 4)) + ", data size " +
                   std::to_string(le(entry, 11, 4)) + ", checksum " +
                   std::to_string(le(entry, 15, 2));
        case ValueKind::kTemperatures:
            return temperatures(entry);
        case ValueKind::kDcs:
            return "flag " + std::to_string(le(entry, 0, 1)) + ", value " +
                   std::to_string(le(entry, 1, 2));
        case ValueKind::kBytes:
            break;
    }
    return hex_bytes(entry);
}

nivex_param_entry parse_param(const ParamInfo &param, const std::string &text) {
    nivex_param_entry entry{};
    entry.param_id = static_cast<nivex_param_id>(param.id);
    const std::string what = param.name[0] ? param.name : "parameter " + std::to_string(param.id);
    switch (param.kind) {
        case ValueKind::kU8:
            put_le(entry, parse_u32_max(text, 0xFF, what), 1);
            break;
        case ValueKind::kU16:
            put_le(entry, parse_u32_max(text, 0xFFFF, what), 2);
            break;
        case ValueKind::kU32:
            put_le(entry, parse_u32(text, what), 4);
            break;
        case ValueKind::kText:
            if (text.size() > NIVEX_PARAM_VAL_SIZE)
                throw usage_error(what + " holds at most 18 characters");
            std::memcpy(entry.param_val.str, text.data(), text.size());
            entry.param_val_len = static_cast<uint8_t>(text.size());
            break;
        default:
            parse_hex_bytes(text, entry);
            break;
    }
    return entry;
}

bool read_param(nivex_device *dev, uint32_t id, nivex_param_entry &entry) {
    entry = {};
    entry.param_id = static_cast<nivex_param_id>(id);
    return nivex_param_batch_get(dev, &entry, 1);
}

}  // namespace nivex_tool
