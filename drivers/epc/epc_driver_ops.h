// The EPC driver's operations (the rows "E1", "E2", "E3" of the registry).
// Each works on the state of the driver instance it is given and refuses an
// instance without one (an init that failed) cleanly.
#pragma once

#include <cstdint>

#include "drivers/chip_driver.h"
#include "drivers/epc/epc_driver_state.h"

namespace nx::epc {

// The names of the calibration files the camera's open loaded.
std::vector<std::string> epc_calibration_files(const chip_driver *drv);

// Binds the device: state with its defaults, the lens of the data folder's
// lens file (built-in values without one) and its undistortion maps, the
// sensor model with the chip's calibration files.
bool epc_init(chip_driver *drv, nivex_device *dev);
void epc_uninit(chip_driver *drv);
bool epc_frame_get_info(chip_driver *drv, nivex_frame_meta *meta, const nx_stream_frame_info *info);
int32_t epc_frame_decode(chip_driver *drv, uint16_t *dst, uint32_t dst_bytes, int kind,
                         const uint8_t *src, uint32_t src_len, const nivex_frame_meta *meta);
// `lens` with its intrinsics scaled to width x height (the exported
// epc_lens_param_get); false with a warning when the size does not divide
// the lens image size.
bool scale_lens_param(const epc_lens_param &lens, epc_lens_param *out, int width, int height);
// The lens record of the EPC camera initialised last (built-in values before
// any), which the exported call uses for a driver without a camera.
void set_last_lens(const epc_lens_param &lens);
epc_lens_param last_lens_param();
// The intrinsics of the image the decode delivers at width x height (the
// driver's lens operation): the corrected camera matrix without distortion
// where the decode undistorts, the scaled lens record otherwise.
bool epc_image_lens_param(chip_driver *drv, epc_lens_param *out, int width, int height);
// Fetches the factory calibration from the camera when the data folder lacks
// the chip's DRNU files, then derives the distance constants (on every path).
// -1 when the camera could not be asked or holds no calibration.
int epc_calib_data_load(chip_driver *drv, int arg0, int arg1, int arg2);
bool epc_filter_enable(chip_driver *drv, int filter_id, nivex_filter_args *arg, uint32_t arg_size);
bool epc_filter_disable(chip_driver *drv, int filter_id);
int epc_spare1(chip_driver *drv);
int epc_spare2(chip_driver *drv, void *any, int value, int stage);
int epc_spare3(chip_driver *drv);

}  // namespace nx::epc
