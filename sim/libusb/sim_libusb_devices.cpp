// Device lists, descriptors, open and close, configuration and interfaces.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/libusb/sim_core.h"

using nxsim::CameraModel;
using nxsim::Clock;
using nxsim::usb::Core;

namespace {

// Every call on a handle of a camera that left the bus fails like this.
constexpr int kGone = LIBUSB_ERROR_NO_DEVICE;

// libusb on Linux lists devices in this order: it walks the sysfs device
// names sorted as text ("usb1/1-10" before "usb1/1-2") and puts each device it
// finds at the front of its list, so the last name comes first.
std::string sysfs_name(const libusb_device &dev) {
    const std::string bus = std::to_string(dev.bus);
    return "usb" + bus + "/" + bus + "-" + std::to_string(dev.port);
}

// Reads a listed device's record under the simulator's lock.
template <typename Read>
auto read_device(libusb_device *dev, const char *function, Read read) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_device(dev, function);
    return read(*dev);
}

}  // namespace

extern "C" {

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *ctx, libusb_device ***list) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    ctx = core.resolve(ctx);
    core.require_context(ctx, "libusb_get_device_list");
    core.bus.refresh(Clock::now());
    std::vector<libusb_device *> found;
    for (const auto &cam : core.bus.cameras())
        if (cam->attached()) found.push_back(core.find_or_add_device(ctx, cam, nullptr));
    for (const auto &foreign : core.bus.foreign())
        found.push_back(core.find_or_add_device(ctx, nullptr, &foreign));
    std::stable_sort(found.begin(), found.end(),
                     [](const libusb_device *a, const libusb_device *b) {
                         return sysfs_name(*a) > sysfs_name(*b);
                     });
    // The caller frees the list with libusb_free_device_list.
    auto **out =
        static_cast<libusb_device **>(std::calloc(found.size() + 1, sizeof(libusb_device *)));
    if (!out) return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < found.size(); ++i) {
        ++found[i]->refs;
        out[i] = found[i];
    }
    *list = out;
    return static_cast<ssize_t>(found.size());
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices) {
    if (!list) return;
    if (unref_devices) {
        Core &core = Core::get();
        std::lock_guard lock(core.mu);
        for (libusb_device **dev = list; *dev; ++dev) {
            core.require_device(*dev, "libusb_free_device_list");
            core.unref(*dev);
        }
    }
    std::free(list);
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_device(dev, "libusb_ref_device");
    ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *dev) {
    if (!dev) return;
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_device(dev, "libusb_unref_device");
    core.unref(dev);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev,
                                             struct libusb_device_descriptor *desc) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_device(dev, "libusb_get_device_descriptor");
    std::memset(desc, 0, sizeof *desc);
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = dev->speed >= LIBUSB_SPEED_SUPER ? 0x0300 : 0x0200;
    desc->bDeviceClass = LIBUSB_CLASS_PER_INTERFACE;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = dev->vendor_id;
    desc->idProduct = dev->product_id;
    desc->bcdDevice = 0x0100;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *dev) {
    return read_device(dev, "libusb_get_bus_number", [](const libusb_device &d) { return d.bus; });
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *dev) {
    return read_device(dev, "libusb_get_port_number",
                       [](const libusb_device &d) { return d.port; });
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers,
                                        int port_numbers_len) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_device(dev, "libusb_get_port_numbers");
    if (port_numbers_len < 1) return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = dev->port;
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev) {
    return read_device(dev, "libusb_get_device_address",
                       [](const libusb_device &d) { return d.address; });
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device *dev) {
    return read_device(dev, "libusb_get_device_speed",
                       [](const libusb_device &d) { return static_cast<int>(d.speed); });
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **dev_handle) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_device(dev, "libusb_open");
    if (!dev->camera) return LIBUSB_ERROR_ACCESS;
    core.bus.refresh(Clock::now());
    if (!dev->camera->attached() || dev->camera->generation() != dev->generation) return kGone;
    if (dev->camera->refuses_open()) return LIBUSB_ERROR_ACCESS;
    *dev_handle = core.open(dev);
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *dev_handle) {
    if (!dev_handle) return;
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_close");
    core.close(dev_handle);
}

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *dev_handle) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_get_device");
    return dev_handle->dev;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *dev_handle, int *config) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_get_configuration");
    if (Core::stale(dev_handle)) return kGone;
    *config = dev_handle->configuration;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *dev_handle, int configuration) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_set_configuration");
    if (Core::stale(dev_handle)) return kGone;
    if (configuration != nxsim::kConfiguration && configuration != -1)
        return LIBUSB_ERROR_NOT_FOUND;
    auto it = core.claims.find(dev_handle->dev->camera.get());
    if (it != core.claims.end())
        for (auto *owner : it->second)
            if (owner) return LIBUSB_ERROR_BUSY;
    dev_handle->configuration = configuration == -1 ? 0 : configuration;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *dev_handle, int enable) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_set_auto_detach_kernel_driver");
    dev_handle->auto_detach = enable;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_claim_interface");
    if (Core::stale(dev_handle)) return kGone;
    if (interface_number < 0 || interface_number >= nxsim::kInterfaceCount ||
        dev_handle->configuration != nxsim::kConfiguration)
        return LIBUSB_ERROR_NOT_FOUND;
    CameraModel &cam = *dev_handle->dev->camera;
    auto &owner = core.claims[&cam][static_cast<size_t>(interface_number)];
    if (owner == dev_handle) return LIBUSB_SUCCESS;
    if (owner || cam.refuses_claim(static_cast<uint8_t>(interface_number)))
        return LIBUSB_ERROR_BUSY;
    owner = dev_handle;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *dev_handle, int interface_number) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_release_interface");
    if (interface_number < 0 || interface_number >= nxsim::kInterfaceCount)
        return LIBUSB_ERROR_NOT_FOUND;
    auto it = core.claims.find(dev_handle->dev->camera.get());
    if (it == core.claims.end() || it->second[static_cast<size_t>(interface_number)] != dev_handle)
        return LIBUSB_ERROR_NOT_FOUND;
    it->second[static_cast<size_t>(interface_number)] = nullptr;
    return Core::stale(dev_handle) ? kGone : LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *dev_handle, unsigned char endpoint) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(dev_handle, "libusb_clear_halt");
    if (Core::stale(dev_handle)) return kGone;
    CameraModel &cam = *dev_handle->dev->camera;
    if (!cam.has_endpoint(endpoint)) return LIBUSB_ERROR_NOT_FOUND;
    cam.clear_halt(endpoint);
    core.notify_all();
    return LIBUSB_SUCCESS;
}

}  // extern "C"
