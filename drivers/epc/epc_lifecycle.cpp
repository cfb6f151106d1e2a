// Binding an EPC camera to its driver instance and releasing it; the
// calibration step of the open.
//
// init reads the data folder's lens parameter file into the device's own lens
// record. calib_load fetches the factory calibration from the camera when the
// data folder lacks this chip's DRNU files (the first open of a camera), and
// derives the distance constants whatever became of that, so a camera without
// calibration files still measures with the simple calibration.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_calib_package.h"
#include "drivers/epc/epc_calibration.h"
#include "drivers/epc/epc_driver_ops.h"
#include "drivers/epc/epc_lens_file.h"
#include "sensorlib/data_file.h"
#include "sensorlib/device_adapter.h"

namespace nx::epc {
namespace {

constexpr const char *kInitFn = "epc_init";
constexpr const char *kCalibFn = "epc_calib_data_load";
constexpr const char kExtendedVersion[] = "2.0";
constexpr int kReinitStage = 2;

// The third '-'-separated field of the product text (at most 16 characters).
bool product_version(const nivex_device &dev, char (&version)[17]) {
    char product[sizeof dev.product + 1] = {};
    std::memcpy(product, dev.product, strnlen(dev.product, sizeof dev.product));
    return std::sscanf(product, "%*16[^-]-%*16[^-]-%16[^-]", version) == 1;
}

template <size_t N>
void copy_name(std::array<char, N> &field, const std::string &name) {
    const size_t n = std::min(name.size(), N - 1);
    std::memcpy(field.data(), name.data(), n);
    field[n] = '\0';
}

// The sensor model of `dev`, set up with the chip's calibration files.
bool bring_up_sensor(nivex_device *dev, bool extended) {
    // The record exists before the set-up so that the set-up already loads
    // the lookup-table bank the extended mode asks for.
    nx::sensor::ModelRef model = nx::sensor::bind_device(dev);
    if (!model) return false;
    model->set_ext_mode(extended);
    if (nx::sensor::adapter_init(dev)) return true;
    nx::sensor::unbind_device(dev);
    return false;
}

bool init_state(chip_driver *drv, nivex_device *dev) {
    auto state = std::make_shared<epc_driver_state>();
    state->dev = dev;
    read_lens_file(nx::sensor::data_path(dev, kLensFileName), state->lens);
    if (nx_calib_len_init_map(&state->lens_map, &state->lens) == 0)
        NX_WRN(kInitFn, "[%s] undistortion maps not built\n");
    char version[17] = {};
    if (!product_version(*dev, version)) {
        NX_ERR(kInitFn, "[%s] no version in product text\n");
        return false;
    }
    NX_DBG(kInitFn, "[%s] FW_VER:%d\n", static_cast<int>(nx::load_le16(dev->info_data + 2)));
    if (!bring_up_sensor(dev, std::strncmp(version, kExtendedVersion, 3) == 0)) {
        NX_ERR(kInitFn, "[%s] epc_adapter_init failed!\n");
        return false;
    }
    state->sensor = nx::sensor::model_of(dev);
    if (!state->sensor) {
        nx::sensor::unbind_device(dev);
        return false;
    }
    state->set_constants(derive_constants(*state->sensor));
    register_state(dev, state);
    drv->priv = state.get();
    set_last_lens(state->lens);
    return true;
}

}  // namespace

bool epc_init(chip_driver *drv, nivex_device *dev) {
    if (drv == nullptr || dev == nullptr) {
        NX_ERR(kInitFn, "[%s] no driver or device\n");
        return false;
    }
    epc_uninit(drv);
    drv->dev = dev;
    try {
        return init_state(drv, dev);
    } catch (const std::bad_alloc &) {
        NX_ERR(kInitFn, "[%s] malloc failed\n");
        nx::sensor::unbind_device(dev);
        return false;
    }
}

void epc_uninit(chip_driver *drv) {
    epc_driver_state *state = state_of(drv);
    if (state == nullptr) return;
    drv->priv = nullptr;
    nivex_device *dev = state->dev;
    // Only the binding goes: a device the sensor library opened itself is
    // being closed right now by whoever called this, not by the library.
    nx::sensor::unbind_device(dev);
    unregister_state(dev);
}

int epc_calib_data_load(chip_driver *drv, int, int, int) {
    epc_driver_state *state = state_of(drv);
    if (state == nullptr) {
        NX_ERR(kCalibFn, "[%s] no EPC driver state\n");
        return -1;
    }
    try {
        copy_name(state->dist_images_name, state->sensor->distance_images_name());
        copy_name(state->drnu_param_name, state->sensor->param_name());
    } catch (const std::bad_alloc &) {
        NX_ERR(kCalibFn, "[%s] malloc failed\n");
        return -1;
    }
    int result = 0;
    if (state->sensor->data_file_check() < 0) {
        if (load_calib_data(*state)) {
            state->sensor->config_init(nx::sensor::kDeviceAddress);
            state->drnu_on.store(1);
        } else {
            result = -1;
        }
    }
    state->set_constants(derive_constants(*state->sensor));
    return result;
}

int epc_spare1(chip_driver *) {
    return 0;
}

// Stage 2 sets the sensor up again.
int epc_spare2(chip_driver *drv, void *, int value, int stage) {
    epc_driver_state *state = state_of(drv);
    if (state != nullptr && stage == kReinitStage)
        state->sensor->config_init(nx::sensor::kDeviceAddress);
    return value;
}

int epc_spare3(chip_driver *) {
    return 1;
}

}  // namespace nx::epc
