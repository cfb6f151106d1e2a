// Command channel internals shared by the register, parameter, reset and
// capture operations: one control exchange, then the camera's status.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "ll/usb/usb_ll.h"

// Host-to-camera exchange of `len` bytes; true when all of them went out.
bool usb_cmd_send(ll_device *ll, uint8_t cmd, uint16_t sub, const void *data, int len,
                  uint32_t timeout_ms = USB_CMD_TIMEOUT_MS);
// Camera-to-host exchange into `data`; true when exactly `len` bytes came.
bool usb_cmd_recv(ll_device *ll, uint8_t cmd, uint16_t sub, void *data, int len,
                  uint32_t timeout_ms = USB_CMD_TIMEOUT_MS);

// Sends, then asks the camera whether that very command succeeded.
inline bool usb_cmd_send_checked(ll_device *ll, uint8_t cmd, uint16_t sub, const void *data,
                                 int len) {
    return usb_cmd_send(ll, cmd, sub, data, len) &&
           usb_ll_check_last_cmd(ll, cmd, static_cast<uint8_t>(sub));
}

// Receives, then asks the camera whether that very command succeeded.
inline bool usb_cmd_recv_checked(ll_device *ll, uint8_t cmd, uint16_t sub, void *data, int len) {
    return usb_cmd_recv(ll, cmd, sub, data, len) &&
           usb_ll_check_last_cmd(ll, cmd, static_cast<uint8_t>(sub));
}

// Little-endian stores, the byte order of everything on the wire.
inline uint8_t *put_le16(uint8_t *out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    return out + 2;
}

inline uint8_t *put_le32(uint8_t *out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out + 4;
}

// Turns values that arrived as little-endian bytes into host order, in place.
inline void le32_to_host(uint32_t *values, int count) {
    if constexpr (std::endian::native == std::endian::big) {
        for (int i = 0; i < count; ++i)
            values[i] = __builtin_bswap32(values[i]);
    }
}
