// Transport-neutral operations table and the exported forwarding layer.
//
// The camera API never talks to USB directly: it calls nivex_ll_*, which
// looks the operation up in the session's table (ll_op_usb before the first
// open) and forwards. Command operations block their caller and must never
// run on the transport's event thread, which completes their transfers.
#pragma once

#include <cstdint>

#include "ll/ll_device.h"
#include "nivex.h"

// Parameter entry as it travels to the camera: id, length, 18 value bytes.
struct ll_param_entry {
    uint8_t id;
    uint8_t len;
    uint8_t val[NIVEX_PARAM_VAL_SIZE];
};
static_assert(sizeof(ll_param_entry) == 20);

// Capture events: 0 data, -3 cancelled, -5 time-out, -7 stall, -10 other.
enum ll_cap_event : int {
    LL_CAP_EVT_DATA = 0,
    LL_CAP_EVT_CANCELLED = -3,
    LL_CAP_EVT_TIMEOUT = -5,
    LL_CAP_EVT_STALL = -7,
    LL_CAP_EVT_ERROR = -10,
};

// Called on the transport's event thread for every completed capture transfer.
using ll_cap_event_cb = int (*)(ll_device *ll, int event, uint8_t *data, int len, void *arg);

struct ll_ops {
    bool (*init)();
    void (*uninit)();
    void (*set_debug)(uint32_t level);
    ll_device *(*dev_open)(ll_device *ll);
    ll_device *(*dev_open_by_fd)(ll_device *ll);
    void (*dev_close)(ll_device *ll);
    int (*dev_list)(ll_device *entries, int capacity);
    bool (*exe_cmd)(ll_device *ll, uint8_t dir, uint8_t cmd, uint16_t sub, void *data, int len,
                    uint32_t timeout_ms);
    bool (*check_last_cmd)(ll_device *ll, uint8_t cmd, uint8_t sub);
    void (*cap_abort)(ll_device *ll);
    bool (*cap_start)(ll_device *ll, uint32_t start_arg, ll_cap_event_cb cb, void *cb_arg);
    bool (*cap_stop)(ll_device *ll);
    bool (*dev_reset)(ll_device *ll, uint8_t target);
    bool (*reg_write)(ll_device *ll, uint8_t target, uint32_t reg_base, const uint32_t *values,
                      uint16_t reg_cnt);
    bool (*reg_read)(ll_device *ll, uint8_t target, uint32_t reg_base, uint32_t *values,
                     uint16_t reg_cnt);
    bool (*param_set)(ll_device *ll, const ll_param_entry *entries, int count);
    bool (*param_get)(ll_device *ll, ll_param_entry *entries, int count);
    // Waits up to timeout_ms until no capture transfer of the session is
    // outstanding; true when none is (a closed session has none).
    bool (*cap_idle)(ll_device *ll, uint32_t timeout_ms);
};

extern "C" {

NIVEX_API extern const ll_ops ll_op_usb;

NIVEX_API bool nivex_ll_init(void);
NIVEX_API void nivex_ll_uninit(void);
NIVEX_API void nivex_ll_set_debug(uint32_t level);
NIVEX_API int nivex_ll_dev_list(ll_device *list, int n);
NIVEX_API ll_device *nivex_ll_dev_open(ll_device *ll);
NIVEX_API ll_device *nivex_ll_dev_open_by_fd(ll_device *ll);
NIVEX_API void nivex_ll_dev_close(ll_device *ll);
NIVEX_API bool nivex_ll_dev_reset(ll_device *ll, uint32_t target);
NIVEX_API bool nivex_ll_exe_cmd(ll_device *ll, uint32_t dir, uint32_t cmd, uint32_t sub, void *data,
                                int len, uint32_t timeout_ms);
NIVEX_API bool nivex_ll_check_last_cmd(ll_device *ll, uint32_t cmd, uint32_t sub);
NIVEX_API bool nivex_ll_cap_start(ll_device *ll, uint32_t start_arg, ll_cap_event_cb cb,
                                  void *cb_arg);
NIVEX_API bool nivex_ll_cap_stop(ll_device *ll);
NIVEX_API void nivex_ll_cap_abort(ll_device *ll);
NIVEX_API bool nivex_ll_reg_write(ll_device *ll, uint32_t target, uint32_t reg_base,
                                  const uint32_t *values, uint32_t reg_cnt);
NIVEX_API bool nivex_ll_reg_read(ll_device *ll, uint32_t target, uint32_t reg_base,
                                 uint32_t *values, uint32_t reg_cnt);
NIVEX_API bool nivex_ll_param_set(ll_device *ll, const ll_param_entry *entries, int count);
NIVEX_API bool nivex_ll_param_get(ll_device *ll, ll_param_entry *entries, int count);
// Library-internal: the capture engine resets its parser only once this holds.
bool nivex_ll_cap_idle(ll_device *ll, uint32_t timeout_ms);
// Writes an image file into the camera's flash (nivex_bin_data_write with
// type and version narrowed to 8 and 16 bits): positive on success, negative
// on failure, -1 for an absent or unopened session. Transport-neutral: it
// speaks through exe_cmd and check_last_cmd, so it needs no slot of its own.
NIVEX_API int nivex_ll_firmware_upgrade(ll_device *ll, uint32_t type, uint32_t version,
                                        const char *file_name);
}
