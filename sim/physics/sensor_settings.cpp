#include "sim/physics/sensor_settings.h"

namespace nxsim::physics {
namespace {

// Sensor registers of the exposure: HDR switch, ambient-light suppression,
// and the exposure counters (high byte first) in units of the multiplier
// times the sensor clock's period.
constexpr uint8_t kRegAbsSwitch = 0x22;  // bits 0x30: suppression on
constexpr uint8_t kAbsBits = 0x30;
constexpr uint8_t kRegHdrSwitch = 0x94;  // bit 7: HDR on
constexpr uint8_t kHdrBit = 0x80;
constexpr uint8_t kRegDelayStep = 0x73;
constexpr uint8_t kRegHdrCount = 0x9E;
constexpr uint8_t kRegMultiplier = 0xA0;
constexpr uint8_t kRegCount = 0xA2;
constexpr double kPllStepKhz = 4000;
constexpr double kHdrShareWithoutCounters = 0.1;

uint32_t pair_at(const RegisterFile &r, uint8_t address) {
    return (r.get(kTargetSensor, address) & 0xFF) << 8 |
           (r.get(kTargetSensor, address + 1u) & 0xFF);
}

// The sensor clock that counts exposure: the PLL over the divider.
double exposure_clock_khz(const RegisterFile &r) {
    const uint32_t multiplier = (r.get(kTargetSensor, kRegPllMultiplier) & 0x1F) + 1;
    const uint32_t prescale = (r.get(kTargetSensor, kRegPllPrescale) >> 4) & 3;
    const double pll = multiplier * kPllStepKhz / (1u << prescale);
    return pll / ((r.get(kTargetSensor, kRegModDivider) & 0x1F) + 1);
}

}  // namespace

SensorState read_sensor_state(const RegisterFile &registers, const ParamStore &params) {
    SensorState state;
    state.modulation_khz = registers.modulation_khz();
    state.integration_us = params.integration_time();
    state.ambient_suppression =
        (registers.get(kTargetSensor, kRegAbsSwitch) & kAbsBits) == kAbsBits;
    state.temp_sensor = params.sensor_temperature();
    state.temp_ib = params.board_temperature();
    state.delay_steps = static_cast<uint8_t>(registers.get(kTargetSensor, kRegDelayStep));
    state.delay_code = static_cast<uint8_t>(registers.get(kTargetSensor, kRegDelayCode));
    if ((registers.get(kTargetSensor, kRegHdrSwitch) & kHdrBit) == 0) return state;
    const uint32_t multiplier = pair_at(registers, kRegMultiplier);
    if (multiplier == 0) {
        state.hdr_integration_us = state.integration_us * kHdrShareWithoutCounters;
        return state;
    }
    const double period_us = 1000.0 / exposure_clock_khz(registers);
    state.integration_us = (pair_at(registers, kRegCount) + 1.0) * multiplier * period_us;
    state.hdr_integration_us = (pair_at(registers, kRegHdrCount) + 1.0) * multiplier * period_us;
    return state;
}

}  // namespace nxsim::physics
