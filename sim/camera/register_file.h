// Register files of the camera, one per register target: target 1 is the
// image sensor (256 registers), targets 0 and 2 are board registers. Every
// register keeps the 32-bit value last written to it, except the sensor's
// factory delay-line code (0xE9), which the host can only read.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace nxsim {

inline constexpr uint8_t kTargetBoard = 0;
inline constexpr uint8_t kTargetSensor = 1;
inline constexpr uint8_t kTargetIllumination = 2;
inline constexpr uint32_t kSensorRegisterCount = 256;
inline constexpr uint32_t kBoardRegisterCount = 0x10000;

// Sensor registers with a meaning the simulator models.
inline constexpr uint8_t kRegModSelect = 0x80;  // bit 6: 36 MHz clock path
inline constexpr uint8_t kRegPllPrescale = 0x81;
inline constexpr uint8_t kRegPllMultiplier = 0x82;
inline constexpr uint8_t kRegModDivider = 0x85;
inline constexpr uint8_t kRegDelayCode = 0xE9;

class RegisterFile {
  public:
    explicit RegisterFile(uint8_t delay_code = 128) : delay_code_(delay_code) { reset_all(); }

    // Host access: an empty string on success, else why it was refused.
    std::string read(uint8_t target, uint32_t base, uint32_t count,
                     std::vector<uint32_t> &values) const;
    std::string write(uint8_t target, uint32_t base, std::span<const uint32_t> values);

    // Test access; unknown targets and addresses read 0 and ignore writes.
    uint32_t get(uint8_t target, uint32_t address) const;
    void set(uint8_t target, uint32_t address, uint32_t value);

    // Power-on values of one target / of all of them.
    void reset_target(uint8_t target);
    void reset_all();

    // The modulation frequency (kHz) the sensor's clock registers select.
    uint32_t modulation_khz() const;

  private:
    static std::string check_range(uint8_t target, uint32_t base, uint64_t count);

    uint8_t delay_code_;
    std::array<uint32_t, kSensorRegisterCount> sensor_{};
    std::map<uint32_t, uint32_t> board_;  // registers never written read 0
    std::map<uint32_t, uint32_t> illumination_;
};

}  // namespace nxsim
