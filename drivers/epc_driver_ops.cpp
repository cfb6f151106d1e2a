// Operations table of the EPC sensor driver ("E1", "E2", "E3").
#include "drivers/epc/epc_driver_ops.h"

extern "C" const chip_driver_ops g_nivex_driver_op_epc = {
    .init = nx::epc::epc_init,
    .uninit = nx::epc::epc_uninit,
    .frame_get_info = nx::epc::epc_frame_get_info,
    .frame_decode = nx::epc::epc_frame_decode,
    .lens_param_get = nx::epc::epc_image_lens_param,
    .spare1 = nx::epc::epc_spare1,
    .spare2 = nx::epc::epc_spare2,
    .calib_load = nx::epc::epc_calib_data_load,
    .spare3 = nx::epc::epc_spare3,
    .filter_enable = nx::epc::epc_filter_enable,
    .filter_disable = nx::epc::epc_filter_disable,
};
