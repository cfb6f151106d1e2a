#include "sim/camera/register_file.h"

#include <cstdio>
#include <utility>

namespace nxsim {
namespace {

// Power-on values of the sensor registers that the host's sensor model reads
// back: clock set-up, modulation divider, HDR and ambient-light bits, the
// readout window and the integration-time multipliers.
constexpr std::pair<uint8_t, uint8_t> kSensorDefaults[] = {
    {0x22, 0x04}, {0x25, 0x01}, {0x28, 0x0E}, {0x2B, 0x0B},  // HDR off, ABS off
    {0x80, 0x3F},                                            // modulation select
    {0x81, 0x00}, {0x82, 0x17},                              // PLL: base clock 96 MHz
    {0x85, 0x01},                                            // modulation divider (12 MHz)
    {0x8B, 0x02},                                            // demodulation delay
    {0x92, 0x00}, {0x94, 0x00},                              // HDR control
    {0x96, 0x00}, {0x97, 0x04}, {0x98, 0x01}, {0x99, 0x43},  // columns 4..323
    {0x9A, 0x06}, {0x9B, 0x7D},                              // rows 6..125
    {0x9E, 0x00}, {0x9F, 0x01},                              // integration multipliers
    {0xA0, 0x00}, {0xA1, 0x24}, {0xA2, 0x00}, {0xA3, 0x01}, {0xAE, 0x04},  // DLL control
};

std::string out_of_range(uint8_t target, uint32_t base, uint64_t count) {
    char text[64];
    std::snprintf(text, sizeof text, "registers 0x%X+%llu out of range (target %u)", base,
                  static_cast<unsigned long long>(count), target);
    return text;
}

}  // namespace

std::string RegisterFile::check_range(uint8_t target, uint32_t base, uint64_t count) {
    uint64_t limit;
    switch (target) {
        case kTargetSensor:
            limit = kSensorRegisterCount;
            break;
        case kTargetBoard:
        case kTargetIllumination:
            limit = kBoardRegisterCount;
            break;
        default: {
            char text[48];
            std::snprintf(text, sizeof text, "unknown register target %u", target);
            return text;
        }
    }
    if (static_cast<uint64_t>(base) + count > limit) return out_of_range(target, base, count);
    return {};
}

std::string RegisterFile::read(uint8_t target, uint32_t base, uint32_t count,
                               std::vector<uint32_t> &values) const {
    std::string error = check_range(target, base, count);
    if (!error.empty()) return error;
    values.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        values[i] = get(target, base + i);
    return {};
}

std::string RegisterFile::write(uint8_t target, uint32_t base, std::span<const uint32_t> values) {
    std::string error = check_range(target, base, values.size());
    if (!error.empty()) return error;
    for (size_t i = 0; i < values.size(); ++i)
        set(target, base + static_cast<uint32_t>(i), values[i]);
    return {};
}

uint32_t RegisterFile::get(uint8_t target, uint32_t address) const {
    const std::map<uint32_t, uint32_t> *board = nullptr;
    switch (target) {
        case kTargetSensor:
            return address < kSensorRegisterCount ? sensor_[address] : 0;
        case kTargetBoard:
            board = &board_;
            break;
        case kTargetIllumination:
            board = &illumination_;
            break;
        default:
            return 0;
    }
    auto it = board->find(address);
    return it == board->end() ? 0 : it->second;
}

void RegisterFile::set(uint8_t target, uint32_t address, uint32_t value) {
    switch (target) {
        case kTargetSensor:
            if (address < kSensorRegisterCount) sensor_[address] = value;
            break;
        case kTargetBoard:
            if (address < kBoardRegisterCount) board_[address] = value;
            break;
        case kTargetIllumination:
            if (address < kBoardRegisterCount) illumination_[address] = value;
            break;
        default:
            break;
    }
}

void RegisterFile::reset_target(uint8_t target) {
    switch (target) {
        case kTargetSensor:
            sensor_.fill(0);
            for (auto [address, value] : kSensorDefaults)
                sensor_[address] = value;
            break;
        case kTargetBoard:
            board_.clear();
            break;
        case kTargetIllumination:
            illumination_.clear();
            break;
        default:
            break;
    }
}

void RegisterFile::reset_all() {
    reset_target(kTargetBoard);
    reset_target(kTargetSensor);
    reset_target(kTargetIllumination);
}

}  // namespace nxsim
