// The USB instance of the transport table.
#include "ll/usb/usb_ll.h"

extern "C" const ll_ops ll_op_usb = {
    .init = usb_ll_init,
    .uninit = usb_ll_uninit,
    .set_debug = usb_ll_set_debug,
    .dev_open = usb_ll_dev_open,
    .dev_open_by_fd = usb_ll_dev_open_by_fd,
    .dev_close = usb_ll_dev_close,
    .dev_list = usb_ll_dev_list,
    .exe_cmd = usb_ll_exe_cmd,
    .check_last_cmd = usb_ll_check_last_cmd,
    .cap_abort = usb_ll_cap_abort,
    .cap_start = usb_ll_cap_start,
    .cap_stop = usb_ll_cap_stop,
    .dev_reset = usb_ll_dev_reset,
    .reg_write = usb_ll_reg_write,
    .reg_read = usb_ll_reg_read,
    .param_set = usb_ll_param_set,
    .param_get = usb_ll_param_get,
    .cap_idle = usb_ll_cap_idle,
};
