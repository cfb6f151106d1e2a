// USB transport: the implementation behind ll_op_usb.
#pragma once

#include <cstdint>

#include "ll/ll_ops.h"

inline constexpr uint16_t USB_VID = 0x111B;
inline constexpr uint16_t USB_PID = 0x1238;
inline constexpr int USB_CONFIG = 1;

bool usb_ll_init();
void usb_ll_uninit();
void usb_ll_set_debug(uint32_t level);
// libusb verbosity for contexts created from now on.
int usb_ll_debug_level();
