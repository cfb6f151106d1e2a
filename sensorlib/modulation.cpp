// Modulation frequency: the table of the seven frequencies the sensor's clock
// allows, read from its PLL registers, and the switch between them.
#include <array>

#include "common/nx_log.h"
#include "sensorlib/sensor_model.h"
#include "sensorlib/sensor_registers.h"

namespace nx::sensor {
namespace {

constexpr const char *kSetFn = "configSetModulationFrequency";
constexpr int kFastestKhz = 36000;  // setting 0: the 36 MHz clock path
constexpr int kDefaultSetting = 2;
// Divider register per setting; settings 0 and 1 both run undivided.
constexpr std::array<uint8_t, kFrequencySettings> kDividers = {0, 0, 1, 3, 7, 15, 31};
constexpr uint8_t kModSelect36Mhz = 127;
constexpr uint8_t kModSelectDivided = 63;

}  // namespace

// Entry 0 is the 36 MHz path; entry i (1..6) is the PLL base over 4 x 2^(i-1).
// A failed read leaves the table as it was.
bool SensorModel::read_frequency_table_locked(int dev_addr) {
    std::optional<uint8_t> multiplier = read_reg_locked(dev_addr, reg::kPllMultiplier);
    if (!multiplier) return false;
    std::optional<uint8_t> prescale = read_reg_locked(dev_addr, reg::kPllPrescale);
    if (!prescale) return false;
    const int base = reg::pll_base_khz(*multiplier, *prescale);
    freq_table_[0].store(kFastestKhz);
    for (int i = 1; i < kFrequencySettings; ++i)
        freq_table_[static_cast<size_t>(i)].store(base / ((1 << (i - 1)) * 4));
    return true;
}

int SensorModel::set_modulation_frequency(int setting, int dev_addr) {
    std::lock_guard lock(op_mu_);
    return set_modulation_locked(setting, dev_addr);
}

// The setting is recorded only once the chip took it, so the model never
// claims a frequency the sensor does not run at.
int SensorModel::set_modulation_locked(int setting, int dev_addr) {
    if (setting < 0 || setting >= kFrequencySettings) setting = kDefaultSetting;
    const size_t index = static_cast<size_t>(setting);
    const int khz = freq_table_[index].load();
    if (khz <= 0) {
        NX_ERR(kSetFn, "[%s] frequency table not read from the sensor, setting %d refused\n",
               setting);
        return -1;
    }
    const uint8_t divider = kDividers[index];
    if (!write_regs_locked(dev_addr, reg::kModDivider, std::span(&divider, 1))) return -1;
    const uint8_t select = setting == 0 ? kModSelect36Mhz : kModSelectDivided;
    if (!write_regs_locked(dev_addr, reg::kModSelect, std::span(&select, 1))) return -1;
    mod_setting_.store(setting);
    mod_khz_.store(khz);
    return reapply_integration_times_locked();
}

}  // namespace nx::sensor
