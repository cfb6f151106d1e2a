// Forwarding layer: looks an operation up in the session's table and calls it.
// A session that was never opened, or a table without the slot, is treated
// like an absent session: false, 0 or nothing, never a crash.
#include "api/data_channel.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace {

// The table serving an open session; NULL when the session is absent or unopened.
const ll_ops *session_ops(const ll_device *ll) {
    return ll != nullptr ? ll->ops : nullptr;
}

// The table for the open operations: ll_op_usb serves a session not opened yet.
const ll_ops *open_ops(const ll_device *ll) {
    if (ll == nullptr) return nullptr;
    return ll->ops != nullptr ? ll->ops : &ll_op_usb;
}

}  // namespace

extern "C" {

bool nivex_ll_init(void) {
    if (ll_op_usb.init == nullptr || !ll_op_usb.init()) {
        NX_ERR("nivex_ll_init", "[%s] ll_init failed: ll[%d]\n", 0);
        return false;
    }
    return true;
}

void nivex_ll_uninit(void) {
    if (ll_op_usb.uninit != nullptr) ll_op_usb.uninit();
}

void nivex_ll_set_debug(uint32_t level) {
    if (ll_op_usb.set_debug != nullptr) ll_op_usb.set_debug(level);
}

int nivex_ll_dev_list(ll_device *list, int n) {
    if (list == nullptr || n <= 0 || ll_op_usb.dev_list == nullptr) return 0;
    return ll_op_usb.dev_list(list, n);
}

ll_device *nivex_ll_dev_open(ll_device *ll) {
    const ll_ops *ops = open_ops(ll);
    return ops != nullptr && ops->dev_open != nullptr ? ops->dev_open(ll) : nullptr;
}

ll_device *nivex_ll_dev_open_by_fd(ll_device *ll) {
    const ll_ops *ops = open_ops(ll);
    return ops != nullptr && ops->dev_open_by_fd != nullptr ? ops->dev_open_by_fd(ll) : nullptr;
}

void nivex_ll_dev_close(ll_device *ll) {
    const ll_ops *ops = session_ops(ll);
    if (ops != nullptr && ops->dev_close != nullptr) ops->dev_close(ll);
}

bool nivex_ll_dev_reset(ll_device *ll, uint32_t target) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->dev_reset != nullptr &&
           ops->dev_reset(ll, static_cast<uint8_t>(target));
}

bool nivex_ll_exe_cmd(ll_device *ll, uint32_t dir, uint32_t cmd, uint32_t sub, void *data, int len,
                      uint32_t timeout_ms) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->exe_cmd != nullptr &&
           ops->exe_cmd(ll, static_cast<uint8_t>(dir), static_cast<uint8_t>(cmd),
                        static_cast<uint16_t>(sub), data, len, timeout_ms);
}

bool nivex_ll_check_last_cmd(ll_device *ll, uint32_t cmd, uint32_t sub) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->check_last_cmd != nullptr &&
           ops->check_last_cmd(ll, static_cast<uint8_t>(cmd), static_cast<uint8_t>(sub));
}

bool nivex_ll_cap_start(ll_device *ll, uint32_t start_arg, ll_cap_event_cb cb, void *cb_arg) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->cap_start != nullptr && ops->cap_start(ll, start_arg, cb, cb_arg);
}

bool nivex_ll_cap_stop(ll_device *ll) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->cap_stop != nullptr && ops->cap_stop(ll);
}

void nivex_ll_cap_abort(ll_device *ll) {
    const ll_ops *ops = session_ops(ll);
    if (ops != nullptr && ops->cap_abort != nullptr) ops->cap_abort(ll);
}

bool nivex_ll_reg_write(ll_device *ll, uint32_t target, uint32_t reg_base, const uint32_t *values,
                        uint32_t reg_cnt) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->reg_write != nullptr &&
           ops->reg_write(ll, static_cast<uint8_t>(target), reg_base, values,
                          static_cast<uint16_t>(reg_cnt));
}

bool nivex_ll_reg_read(ll_device *ll, uint32_t target, uint32_t reg_base, uint32_t *values,
                       uint32_t reg_cnt) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->reg_read != nullptr &&
           ops->reg_read(ll, static_cast<uint8_t>(target), reg_base, values,
                         static_cast<uint16_t>(reg_cnt));
}

bool nivex_ll_param_set(ll_device *ll, const ll_param_entry *entries, int count) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->param_set != nullptr && ops->param_set(ll, entries, count);
}

bool nivex_ll_param_get(ll_device *ll, ll_param_entry *entries, int count) {
    const ll_ops *ops = session_ops(ll);
    return ops != nullptr && ops->param_get != nullptr && ops->param_get(ll, entries, count);
}

bool nivex_ll_cap_idle(ll_device *ll, uint32_t timeout_ms) {
    const ll_ops *ops = session_ops(ll);
    // A transport without the slot cannot tell: nothing to wait for then.
    if (ops == nullptr || ops->cap_idle == nullptr) return true;
    return ops->cap_idle(ll, timeout_ms);
}

int nivex_ll_firmware_upgrade(ll_device *ll, uint32_t type, uint32_t version,
                              const char *file_name) {
    if (session_ops(ll) == nullptr) return -1;
    return nivex_bin_data_write(ll, static_cast<uint8_t>(type & 0xFF),
                                static_cast<uint16_t>(version & 0xFFFF), 0, file_name);
}

}  // extern "C"
