// Describing an EPC frame as the capture engine hands it out: its geometry
// and size, and the temperatures its header carries, which the decode of the
// frame compensates for.
#include "common/nx_log.h"
#include "drivers/epc/epc_driver_ops.h"
#include "drivers/epc/epc_features.h"
#include "stream/nx_stream.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "epc_frame_get_info";

}  // namespace

bool epc_frame_get_info(chip_driver *drv, nivex_frame_meta *meta,
                        const nx_stream_frame_info *info) {
    epc_driver_state *state = state_of(drv);
    if (state == nullptr || meta == nullptr || info == nullptr) {
        NX_ERR(kFn, "[%s] no EPC driver state or no frame\n");
        return false;
    }
    state->frame_valid.store(1);
    state->sensor->set_frame_temperatures(info->temp_sensor, info->temp_ib);
    state->sensor_temp.store(info->temp_sensor);
    state->ib_temp.store(info->temp_ib);
    _feature_temp_monitor(*state);

    *meta = nivex_frame_meta{};
    const uint32_t width = info->width != 0 ? info->width : kDefaultWidth;
    const uint32_t height = info->height != 0 ? info->height : kDefaultHeight;
    state->sensor->pru_set_size(info->width, info->height / 2);
    NX_TRC(kFn, "[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", static_cast<int>(info->frfmt),
           static_cast<int>(info->frlen), static_cast<int>(width), static_cast<int>(height));
    const uint32_t pixels = width * height;
    if (info->frfmt != NIVEX_FRAME_FMT_CALIB_DATA && info->frlen % pixels != 0) return false;
    meta->frame_size = info->frlen;
    meta->frame_format = info->frfmt;
    meta->frame_idx = info->fridx;
    meta->width = width;
    meta->height = height;
    meta->pixel_bytes = static_cast<uint8_t>(info->frlen / width / height);
    return true;
}

}  // namespace nx::epc
