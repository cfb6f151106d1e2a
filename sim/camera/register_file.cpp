#include "sim/camera/register_file.h"

#include <cstdio>
#include <utility>

namespace nxsim {
namespace {

// Power-on values of the sensor registers the host's sensor model touches:
// the clock set-up (PLL base 96 MHz, divider for 12 MHz), the HDR and
// ambient-light bits (HDR off, ABS off), the full readout window, the
// integration-time multipliers and the DLL control. Registers not listed
// power on as 0, among them the delay-line step 0x71-0x73.
constexpr std::pair<uint8_t, uint8_t> kSensorDefaults[] = {
    {0x22, 0x04}, {0x25, 0x01}, {0x28, 0x0E}, {0x2B, 0x0B},  // HDR off, ABS off
    {0x80, 0x3F},                                            // modulation select
    {0x81, 0x00}, {0x82, 0x17},                              // PLL: base clock 96 MHz
    {0x85, 0x01},                                            // modulation divider (12 MHz)
    {0x8B, 0x02},                                            // demodulation delay
    {0x92, 0x00}, {0x94, 0x00},                              // HDR control
    {0x96, 0x00}, {0x97, 0x00}, {0x98, 0x01}, {0x99, 0x47},  // columns 0..327
    {0x9A, 0x00}, {0x9B, 0x7D},                              // rows 0..125 per half
    {0x9E, 0x00}, {0x9F, 0x01},                              // integration multipliers
    {0xA0, 0x00}, {0xA1, 0x24}, {0xA2, 0x00}, {0xA3, 0x01}, {0xAE, 0x04},  // DLL control
};

constexpr uint32_t kPllStepKhz = 4000;

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
    for (size_t i = 0; i < values.size(); ++i) {
        const uint32_t address = base + static_cast<uint32_t>(i);
        // The delay code is fused at the factory: the chip ignores writes.
        if (target == kTargetSensor && address == kRegDelayCode) continue;
        set(target, address, values[i]);
    }
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
            sensor_[kRegDelayCode] = delay_code_;
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

// The PLL runs at (multiplier + 1) x 4 MHz, divided by 2^prescale. The
// modulation clock is a quarter of it over (divider + 1), or, on the 36 MHz
// path, three eighths of it.
uint32_t RegisterFile::modulation_khz() const {
    const uint32_t multiplier = (sensor_[kRegPllMultiplier] & 0x1F) + 1;
    const uint32_t prescale = (sensor_[kRegPllPrescale] >> 4) & 3;
    const uint32_t pll_khz = (multiplier * kPllStepKhz) >> prescale;
    if (sensor_[kRegModSelect] & 0x40) return pll_khz * 3 / 8;
    return pll_khz / 4 / ((sensor_[kRegModDivider] & 0x1F) + 1);
}

void RegisterFile::reset_all() {
    reset_target(kTargetBoard);
    reset_target(kTargetSensor);
    reset_target(kTargetIllumination);
}

}  // namespace nxsim
