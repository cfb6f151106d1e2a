#include "sensorlib/device_adapter.h"

#include <mutex>

#include "common/nx_log.h"
#include "sensorlib/sensor_registry.h"

namespace nx::sensor {
namespace {

constexpr const char *kInitFn = "epc_adapter_init";
constexpr const char *kUninitFn = "epc_adapter_uninit";
constexpr uint32_t kStandaloneBufferBytes = 6144000;
constexpr uint32_t kStandaloneUsbLevel = 5;
// The window that gives 320 columns and 120 rows per half.
constexpr int kRoiX1 = 4, kRoiX2 = 323, kRoiY1 = 6, kRoiY2 = 125;

// Serialises adapter start and end; the device it opened itself, if any.
// Recursive: the stand-alone start opens a camera, and opening an EPC camera
// binds it through this adapter on the same thread.
std::recursive_mutex g_adapter_mu;
nivex_device *g_owned_device = nullptr;  // guarded by g_adapter_mu

// Closes the device the stand-alone start opened and ends the library.
void close_owned_device(const char *fn) {
    nivex_device *dev = g_owned_device;
    g_owned_device = nullptr;
    NX_INF(fn, "[%s] close dev..\n");
    unbind_device(dev);
    nivex_dev_close(dev);
    // Logged before the library ends: nothing is logged after that.
    NX_INF(fn, "[%s] uninit done..\n");
    nivex_uninit();
}

bool bind_and_set_up(nivex_device *dev) {
    ModelRef model = bind_device(dev);
    if (!model) {
        NX_ERR(kInitFn, "[%s] no memory for the sensor model\n");
        return false;
    }
    model->set_part_type(kEpcPartType);
    if (!model->read_chip_info()) {
        NX_ERR(kInitFn, "[%s] Get chip info failed\n");
        unbind_device(dev);
        return false;
    }
    model->set_device_address(kDeviceAddress);
    model->config_init(kDeviceAddress);
    model->enable_abs(true, kDeviceAddress);
    model->set_roi(kRoiX1, kRoiX2, kRoiY1, kRoiY2, kDeviceAddress);
    return true;
}

// The library's log goes to its file only: the host program's standard
// output is not the library's to write.
bool start_standalone() {
    if (g_owned_device != nullptr) close_owned_device(kInitFn);
    nivex_init(nullptr);
    nivex_log_cfg(NX_LOG_OFF, NX_LOG_DBG, kStandaloneUsbLevel);
    nivex_device *dev = nivex_dev_open(nullptr);
    if (dev == nullptr) {
        nivex_uninit();
        return false;
    }
    nivex_cap_set_frame_buffer(dev, nullptr, kStandaloneBufferBytes);
    if (!bind_device(dev)) {
        NX_ERR(kInitFn, "[%s] no memory for the sensor model\n");
        nivex_dev_close(dev);
        nivex_uninit();
        return false;
    }
    g_owned_device = dev;
    return true;
}

}  // namespace

bool adapter_init(nivex_device *dev) {
    std::lock_guard lock(g_adapter_mu);
    return dev != nullptr ? bind_and_set_up(dev) : start_standalone();
}

void adapter_uninit() {
    std::lock_guard lock(g_adapter_mu);
    nivex_device *dev = current_device();
    if (dev != nullptr && dev == g_owned_device) {
        close_owned_device(kUninitFn);
        return;
    }
    unbind_device(dev);
}

void adapter_release(nivex_device *dev) {
    std::lock_guard lock(g_adapter_mu);
    if (dev != nullptr && dev == g_owned_device) {
        close_owned_device(kUninitFn);
        return;
    }
    unbind_device(dev);
}

}  // namespace nx::sensor
