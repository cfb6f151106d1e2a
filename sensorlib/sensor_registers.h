// Register map of the EPC sensor, as far as the library uses it (8-bit
// addresses and values), and the clock arithmetic over it.
#pragma once

#include <cstdint>

namespace nx::sensor::reg {

// Ambient-light suppression (bits 0x30) and HDR phase order (low nibble).
inline constexpr int kPhaseSetup[] = {0x22, 0x25, 0x28, 0x2B};
inline constexpr int kDelayStep = 0x71;  // 0x71..0x73: demodulation delay line
inline constexpr int kModSelect = 0x80;
inline constexpr int kPllPrescale = 0x81;
inline constexpr int kPllMultiplier = 0x82;
inline constexpr int kModDivider = 0x85;
inline constexpr int kDemodDelay = 0x8B;
inline constexpr int kHdrControl = 0x92;      // bit 3
inline constexpr int kHdrEnable = 0x94;       // bit 7
inline constexpr int kRoi = 0x96;             // 0x96..0x9B: x1 hi, x1 lo, x2 hi, x2 lo, y1, y2
inline constexpr int kIntgHdrCount = 0x9E;    // 0x9E..0x9F, high byte first
inline constexpr int kIntgMultiplier = 0xA0;  // 0xA0..0xA1
inline constexpr int kIntgCount = 0xA2;       // 0xA2..0xA3
inline constexpr int kDllControl = 0xAE;      // bit 0: DLL bypass
inline constexpr int kSmallSensorSetup = 0xCB;

// PLL base clock in kHz: (multiplier + 1) x 4 MHz over 2^prescale.
inline int pll_base_khz(uint8_t multiplier, uint8_t prescale) {
    return (((multiplier & 0x1F) + 1) * 4000) >> ((prescale >> 4) & 3);
}

}  // namespace nx::sensor::reg
