// Operations table of the EPC sensor driver ("E1", "E2", "E3").
//
// The EPC driver's operations are not available in this build yet: the rows
// exist so that such cameras are recognised, and opening one fails cleanly.
#include "drivers/chip_driver.h"

extern "C" const chip_driver_ops g_nivex_driver_op_epc = {};
