// The public switches of the driver-side filters (undistortion, per-pixel
// calibration, smoothing, amplitude marking, ...), handed to the device's
// chip driver.
//
// A driver without filter operations (the TI driver: its decode has no
// switchable steps) has every filter off for good: enabling one is refused
// (0) and disabling one is done (1), and neither changes anything.
#include <cstring>
#include <string>

#include "api/session.h"
#include "common/nx_log.h"
#include "drivers/chip_driver.h"
#include "drivers/filter_ids.h"

namespace {

constexpr const char *kEnableFn = "nivex_filter_enable";
constexpr const char *kDisableFn = "nivex_filter_disable";

// The device's driver; an open session always has one, the lookup by
// product text covers a session that was opened without.
chip_driver *driver_of(const char *fn, nx::Session &session, nivex_device *dev) {
    chip_driver *drv = session.drv != nullptr ? session.drv : nivex_drv_find(dev);
    if (drv == nullptr || drv->ops == nullptr) {
        const std::string product(dev->product, strnlen(dev->product, sizeof dev->product));
        NX_ERR(fn, "[%s] cannot find driver for device: product=%s\n", product.c_str());
        return nullptr;
    }
    return drv;
}

}  // namespace

extern "C" {

int nivex_filter_enable(nivex_device *dev, int filter_id, nivex_filter_args *arg,
                        uint32_t arg_size) {
    if (dev == nullptr) return -1;
    if (arg == nullptr && nx::filter_reads_argument(filter_id)) {
        NX_ERR(kEnableFn, "[%s] filter %d needs an argument\n", filter_id);
        return -1;
    }
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kEnableFn);
        return -1;
    }
    chip_driver *drv = driver_of(kEnableFn, *call.session(), dev);
    if (drv == nullptr) return -1;
    if (drv->ops->filter_enable == nullptr) {
        NX_WRN(kEnableFn, "[%s] %s has no filter %d\n", drv->desc, filter_id);
        return 0;
    }
    if (!drv->ops->filter_enable(drv, filter_id, arg, arg_size)) return 0;
    call.session()->settings.record_filter(filter_id, true, arg, arg_size);
    return 1;
}

int nivex_filter_disable(nivex_device *dev, int filter_id) {
    if (dev == nullptr) return -1;
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kDisableFn);
        return -1;
    }
    chip_driver *drv = driver_of(kDisableFn, *call.session(), dev);
    if (drv == nullptr) return -1;
    if (drv->ops->filter_disable == nullptr) return 1;
    if (!drv->ops->filter_disable(drv, filter_id)) return 0;
    call.session()->settings.record_filter(filter_id, false, nullptr, 0);
    return 1;
}

}  // extern "C"
