// USB transport: the implementation behind ll_op_usb.
//
// Every open camera gets a private record (usb_ll_priv.h) and one event
// thread that runs all libusb event handling for the camera's context, so
// every transfer completes there. Command operations block their caller by
// polling a completion flag and must never run on that event thread.
#pragma once

#include <cstdint>

#include "ll/ll_ops.h"

inline constexpr uint16_t USB_VID = 0x111B;
inline constexpr uint16_t USB_PID = 0x1238;
inline constexpr int USB_CONFIG = 1;

// Control requests of the command channel.
inline constexpr uint8_t REQ_DEV = 0xC0;
inline constexpr uint8_t REQ_REG = 0xC2;
inline constexpr uint8_t REQ_DATA = 0xCC;
inline constexpr uint8_t REQ_STATUS = 0xB0;

// Sub-commands.
inline constexpr uint16_t kSubDevReset = 0;
inline constexpr uint16_t kSubParamSet = 3;
inline constexpr uint16_t kSubParamGet = 4;
inline constexpr uint16_t kSubRegWrite = 0;
inline constexpr uint16_t kSubRegRead = 1;
inline constexpr uint16_t kSubCapStart = 4;
inline constexpr uint16_t kSubCapStop = 5;

// The reset target that makes the camera drop off the bus and re-enumerate.
inline constexpr uint8_t kResetTargetUsbIf = 3;

// Libusb time-out of every command transfer.
inline constexpr uint32_t kCmdTimeoutMs = 1000;

// Library-wide set-up and the libusb verbosity.
bool usb_ll_init();
void usb_ll_uninit();
void usb_ll_set_debug(uint32_t level);
// libusb verbosity for contexts created from now on.
int usb_ll_debug_level();

// Discovery and sessions.
int usb_ll_dev_list(ll_device *entries, int max);
ll_device *usb_ll_dev_open(ll_device *ll);
ll_device *usb_ll_dev_open_by_fd(ll_device *ll);
void usb_ll_dev_close(ll_device *ll);

// Command channel.
bool usb_ll_exe_cmd(ll_device *ll, uint8_t dir, uint8_t cmd, uint16_t sub, void *data, int len,
                    uint32_t timeout_ms);
bool usb_ll_check_last_cmd(ll_device *ll, uint8_t cmd, uint8_t sub);
bool usb_ll_reg_write(ll_device *ll, uint8_t target, uint32_t reg_base, const uint32_t *values,
                      uint16_t reg_cnt);
bool usb_ll_reg_read(ll_device *ll, uint8_t target, uint32_t reg_base, uint32_t *values,
                     uint16_t reg_cnt);
bool usb_ll_param_set(ll_device *ll, const ll_param_entry *entries, int count);
bool usb_ll_param_get(ll_device *ll, ll_param_entry *entries, int count);
bool usb_ll_dev_reset(ll_device *ll, uint8_t target);

// Capture streaming.
void usb_ll_cap_abort(ll_device *ll);
bool usb_ll_cap_start(ll_device *ll, uint32_t start_arg, ll_cap_event_cb callback, void *cb_arg);
bool usb_ll_cap_stop(ll_device *ll);
bool usb_ll_cap_idle(ll_device *ll, uint32_t timeout_ms);
