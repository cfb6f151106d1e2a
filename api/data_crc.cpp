// CRC-16/XMODEM over the data channel's chunks: polynomial 0x1021, initial
// value 0, most significant bit first, no reflection, no final XOR.
#include <array>

#include "api/data_channel.h"

namespace {

constexpr uint16_t kPolynomial = 0x1021;

// One table entry per leading byte: the register's change over eight shifts.
constexpr std::array<uint16_t, 256> make_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint16_t crc = static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ kPolynomial : crc << 1);
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = make_table();

}  // namespace

extern "C" uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len) {
    uint16_t crc = 0;
    if (data == nullptr) return crc;
    for (uint16_t i = 0; i < len; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}
