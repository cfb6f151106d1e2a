// Lens intrinsics of an EPC camera for point clouds. The lens record
// describes the raw sensor image; an image the decode undistorted has the
// undistortion's own camera matrix (wider field, smaller focal length) and
// no distortion left, and projecting it with the raw intrinsics would bend a
// flat wall by about a decimetre at 1.5 m.
//
// Every open camera has its own record (it read the lens file of the data
// folder when it was opened). The exported call also serves callers without
// an open camera's driver: for them the record of the EPC camera initialised
// last stands in, under its own lock.
#include <mutex>

#include "common/nx_log.h"
#include "drivers/epc/epc_driver_ops.h"
#include "imgproc/nx_calib_len.h"
#include "nivex_epc.h"

namespace nx::epc {
namespace {

constexpr const char *kLensFn = "epc_lens_param_get";
constexpr int kUndistortWidth = 320;
constexpr int kUndistortHeight = 240;

struct LastLens {
    std::mutex mu;
    epc_lens_param lens = nx::kDefaultLensParam;
};

LastLens &last_lens() {
    static LastLens instance;
    return instance;
}

}  // namespace

void set_last_lens(const epc_lens_param &lens) {
    LastLens &last = last_lens();
    std::lock_guard lock(last.mu);
    last.lens = lens;
}

epc_lens_param last_lens_param() {
    LastLens &last = last_lens();
    std::lock_guard lock(last.mu);
    return last.lens;
}

bool decode_undistorts(const epc_driver_state &state, int width, int height) {
    return state.undistort_on.load() && width == kUndistortWidth && height == kUndistortHeight;
}

bool scale_lens_param(const epc_lens_param &lens, epc_lens_param *out, int width, int height) {
    if (out == nullptr || width < 1 || height < 1) return false;
    if (lens.img_w % width != 0 || lens.img_h % height != 0) {
        NX_WRN(kLensFn, "[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n",
               lens.img_w, lens.img_h, width, height);
        return false;
    }
    const double kx = lens.img_w / width;
    const double ky = lens.img_h / height;
    *out = lens;
    out->cx = lens.cx / kx;
    out->cy = lens.cy / ky;
    out->fx = lens.fx / kx;
    out->fy = lens.fy / ky;
    out->img_w = width;
    out->img_h = height;
    return true;
}

// The decode undistorts with maps built from the lens record when they are
// ready and the record has the image's size; it leaves the image as it is
// otherwise, and so do these intrinsics.
bool epc_image_lens_param(chip_driver *drv, epc_lens_param *out, int width, int height) {
    const epc_driver_state *state = state_of(drv);
    if (state == nullptr || out == nullptr) return false;
    const epc_lens_param &lens = state->lens;
    if (decode_undistorts(*state, width, height) && state->lens_map.ready && lens.img_w == width &&
        lens.img_h == height)
        return lens_undistorted_param(lens, *out);
    return scale_lens_param(lens, out, width, height);
}

}  // namespace nx::epc

extern "C" bool epc_lens_param_get(chip_driver *driver, epc_lens_param *out, int width,
                                   int height) {
    // Another chip's driver has no EPC lens, not even the last camera's.
    if (driver != nullptr && driver->ops != &g_nivex_driver_op_epc) return false;
    const nx::epc::epc_driver_state *state = nx::epc::state_of(driver);
    if (state != nullptr) return nx::epc::scale_lens_param(state->lens, out, width, height);
    return nx::epc::scale_lens_param(nx::epc::last_lens_param(), out, width, height);
}
