// The EPC driver's feature switches (nivex_filter_enable / _disable). Every
// id is accepted, unknown ones without effect; only enabling the per-pixel
// calibration reports whether its data file is there.
#include "common/nx_log.h"
#include "drivers/epc/epc_driver_ops.h"
#include "drivers/filter_ids.h"

namespace nx::epc {
namespace {

constexpr const char *kEnableFn = "epc_filter_enable";
constexpr const char *kDisableFn = "epc_filter_disable";
constexpr uint8_t kDefaultCalibMode = 1;

void set_hdr(epc_driver_state &state, bool on, const char *fn) {
    state.hdr_on.store(on ? 1 : 0);
    nx::sensor::SensorModel &sensor = *state.sensor;
    if (sensor.enable_hdr(on, sensor.device_address()) != 0)
        NX_WRN(fn, "[%s] sensor HDR mode not changed: register access failed\n");
}

// A calibration mode of 0 or 1 is stored; any other value is answered with
// the one the caller should have given, and the stored mode stays.
bool enable_pixel_calib(epc_driver_state &state, nivex_filter_args &arg) {
    state.drnu_on.store(1);
    if (arg.calib_mode == 0 || arg.calib_mode == 1)
        state.calib_mode.store(arg.calib_mode);
    else
        arg.calib_mode = kDefaultCalibMode;
    return state.sensor->data_file_check() >= 0;
}

}  // namespace

bool epc_filter_enable(chip_driver *drv, int filter_id, nivex_filter_args *arg, uint32_t) {
    epc_driver_state *state = state_of(drv);
    if (state == nullptr) {
        NX_ERR(kEnableFn, "[%s] no EPC driver state\n");
        return false;
    }
    if (arg == nullptr && nx::filter_reads_argument(filter_id)) {
        NX_ERR(kEnableFn, "[%s] filter %d needs its argument\n", filter_id);
        return false;
    }
    switch (filter_id) {
        case NIVEX_FILTER_LENS_UNDISTORT:
            state->undistort_on.store(1);
            break;
        case NIVEX_FILTER_PIXEL_CALIB:
            return enable_pixel_calib(*state, *arg);
        case NIVEX_FILTER_DEPTH_SMOOTH:
            state->median_size.store(arg->median_size);
            state->depth_smooth_on.store(1);
            break;
        case NIVEX_FILTER_MIN_AMP:
            state->min_amp.store(arg->min_amp);
            state->min_amp_on.store(1);
            break;
        case NIVEX_FILTER_AUTO_INTG:
            state->sat_ratio.store(arg->sat_ratio);
            state->auto_intg_on.store(1);
            break;
        case NIVEX_FILTER_DCS_CHECK:
            state->dcs_check_param.store(arg->dcs_check_param);
            state->dcs_check_on.store(1);
            break;
        case NIVEX_FILTER_TEMP_MONITOR:
            state->temp_monitor_param.store(arg->temp_monitor_param);
            state->temp_monitor_on.store(1);
            break;
        case NIVEX_FILTER_HDR:
            set_hdr(*state, true, kEnableFn);
            break;
        default:
            break;
    }
    return true;
}

bool epc_filter_disable(chip_driver *drv, int filter_id) {
    epc_driver_state *state = state_of(drv);
    if (state == nullptr) {
        NX_ERR(kDisableFn, "[%s] no EPC driver state\n");
        return false;
    }
    switch (filter_id) {
        case NIVEX_FILTER_LENS_UNDISTORT:
            state->undistort_on.store(0);
            break;
        case NIVEX_FILTER_PIXEL_CALIB:
            state->drnu_on.store(0);
            state->sensor->set_drnu_mode(0);
            break;
        case NIVEX_FILTER_DEPTH_SMOOTH:
            state->depth_smooth_on.store(0);
            state->median_size.store(0);
            break;
        case NIVEX_FILTER_MIN_AMP: {
            state->min_amp_on.store(0);
            std::lock_guard lock(state->mask_mu);
            std::vector<uint8_t>().swap(state->min_amp_mask);
            break;
        }
        case NIVEX_FILTER_AUTO_INTG:
            state->auto_intg_on.store(0);
            state->sat_ratio.store(0);
            break;
        case NIVEX_FILTER_DCS_CHECK:
            state->dcs_check_on.store(0);
            break;
        case NIVEX_FILTER_TEMP_MONITOR:
            state->temp_monitor_on.store(0);
            break;
        case NIVEX_FILTER_HDR:
            set_hdr(*state, false, kDisableFn);
            break;
        default:
            break;
    }
    return true;
}

}  // namespace nx::epc
