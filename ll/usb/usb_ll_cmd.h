// Command channel internals shared by the register, parameter, reset and
// capture operations: one control exchange, then the camera's status.
#pragma once

#include <cstdint>

#include "common/byte_order.h"

#include "ll/usb/usb_ll.h"

// Host-to-camera exchange of `len` bytes; true when all of them went out.
bool usb_cmd_send(ll_device *ll, uint8_t cmd, uint16_t sub, const void *data, int len,
                  uint32_t timeout_ms = kCmdTimeoutMs);
// Camera-to-host exchange into `data`; true when exactly `len` bytes came.
bool usb_cmd_recv(ll_device *ll, uint8_t cmd, uint16_t sub, void *data, int len,
                  uint32_t timeout_ms = kCmdTimeoutMs);

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
