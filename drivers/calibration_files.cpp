// Which calibration files each driver loads from the data folder.
#include "drivers/chip_driver.h"
#include "drivers/epc/epc_driver_ops.h"

namespace nx {

std::vector<std::string> driver_calibration_files(const chip_driver *drv) {
    if (drv != nullptr && drv->ops == &g_nivex_driver_op_epc)
        return nx::epc::epc_calibration_files(drv);
    return {};
}

}  // namespace nx
