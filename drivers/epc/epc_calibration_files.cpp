// The files an EPC camera's open read from the data folder: the lens
// parameters, and the chip's DRNU parameter and distance-images files.
#include "drivers/epc/epc_driver_ops.h"
#include "drivers/epc/epc_driver_state.h"
#include "drivers/epc/epc_lens_file.h"

namespace nx::epc {

std::vector<std::string> epc_calibration_files(const chip_driver *drv) {
    const epc_driver_state *state = state_of(drv);
    if (state == nullptr) return {};
    std::vector<std::string> names{kLensFileName};
    for (const auto *name : {state->drnu_param_name.data(), state->dist_images_name.data()})
        if (name[0] != '\0') names.emplace_back(name);
    return names;
}

}  // namespace nx::epc
