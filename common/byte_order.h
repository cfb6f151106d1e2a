// Little-endian loads and stores: the byte order of everything the camera
// sends and receives (command payloads, stream headers, parameter values).
// Unaligned access is fine: every function goes through bytes or memcpy.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace nx {

inline uint16_t load_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t load_le32(const uint8_t *p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap32(w);
    return w;
}

// Each store returns the position after what it wrote.
inline uint8_t *store_le16(uint8_t *out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    return out + 2;
}

inline uint8_t *store_le32(uint8_t *out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out + 4;
}

// Turns values that arrived as little-endian words into host order, in place.
inline void le32_to_host(uint32_t *values, int count) {
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < count; ++i)
            values[i] = __builtin_bswap32(values[i]);
    }
}

}  // namespace nx
