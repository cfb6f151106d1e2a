// The USB instance of the transport table.
#include "ll/usb/usb_ll.h"

extern "C" const ll_ops ll_op_usb = {
    .init = usb_ll_init,
    .uninit = usb_ll_uninit,
    .set_debug = usb_ll_set_debug,
    .dev_open = nullptr,
    .dev_open_by_fd = nullptr,
    .dev_close = nullptr,
    .dev_list = nullptr,
    .exe_cmd = nullptr,
    .check_last_cmd = nullptr,
    .cap_abort = nullptr,
    .cap_start = nullptr,
    .cap_stop = nullptr,
    .dev_reset = nullptr,
    .reg_write = nullptr,
    .reg_read = nullptr,
    .param_set = nullptr,
    .param_get = nullptr,
};
