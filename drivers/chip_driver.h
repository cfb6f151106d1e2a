// Chip drivers: everything that depends on the camera's sensor (how a raw
// frame is described and decoded, lens parameters, calibration, feature
// switches) lives behind one table of operations. A registry row is at the
// same time the driver instance, so all cameras with the same product code
// share its dev/priv pair.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nivex.h"

struct nx_stream_frame_info;
struct epc_lens_param;
struct chip_driver;

// Decode kinds of frame_decode.
enum : int {
    NX_DECODE_DISTANCE = 1,  // 16-bit millimetres (or marker codes)
    NX_DECODE_GRAY = 2,      // 16-bit amplitude
};

struct chip_driver_ops {
    // Binds the device and creates priv; called at open after the parser exists.
    bool (*init)(chip_driver *drv, nivex_device *dev);
    // Releases priv; called at close after the transport is closed.
    void (*uninit)(chip_driver *drv);
    // Fills the frame description from the stream's frame information.
    bool (*frame_get_info)(chip_driver *drv, nivex_frame_meta *meta,
                           const nx_stream_frame_info *info);
    // Writes one unsigned 16-bit value per pixel; returns bytes written, < 0 on failure.
    int32_t (*frame_decode)(chip_driver *drv, uint16_t *dst, uint32_t dst_bytes, int kind,
                            const uint8_t *src, uint32_t src_len, const nivex_frame_meta *meta);
    // The intrinsics of the images this driver's decode delivers at width x
    // height; the point clouds project with them when the caller brings no
    // lens. They must describe the image as delivered: when the decode
    // undistorted it (lens undistortion on, and an image of the size the
    // undistortion maps serve), the corrected image's camera matrix
    // (nx::lens_undistorted_param of the lens record) with no distortion
    // left; otherwise the lens record's intrinsics and distortion, both
    // scaled to width x height. False (no point cloud) when the frame size
    // does not divide the lens image size. Optional.
    bool (*lens_param_get)(chip_driver *drv, epc_lens_param *out, int width, int height);
    int (*spare1)(chip_driver *drv);
    int (*spare2)(chip_driver *drv, void *any, int value, int stage);
    // Loads calibration data; < 0 when it failed (the device stays usable).
    int (*calib_load)(chip_driver *drv, int arg0, int arg1, int arg2);
    int (*spare3)(chip_driver *drv);
    // Feature switches. Optional.
    bool (*filter_enable)(chip_driver *drv, int filter_id, nivex_filter_args *arg,
                          uint32_t arg_size);
    bool (*filter_disable)(chip_driver *drv, int filter_id);
};

struct chip_driver {
    const char *desc;
    const char *product_code;
    const chip_driver_ops *ops;
    nivex_device *dev;  // bound by init
    void *priv;         // created by init, released by uninit
};

extern "C" {

NIVEX_API extern const chip_driver_ops g_nivex_driver_op_ti;
NIVEX_API extern const chip_driver_ops g_nivex_driver_op_epc;

// The registry row for the device's product text "<a>-<code>-<b>" (each field
// 1 to 16 characters; the code compared exactly), or NULL.
NIVEX_API chip_driver *nivex_drv_find(nivex_device *dev);
}

namespace nx {

// The names of the calibration files the device's driver loaded from the
// data folder (those a recording must carry for its replay to decode
// alike); empty for a driver that loads none.
std::vector<std::string> driver_calibration_files(const chip_driver *drv);

}  // namespace nx
