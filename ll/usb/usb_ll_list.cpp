// Listing the cameras on the USB bus by vendor and product id.
#include <libusb.h>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

// Identity of a camera as listing and opening report it.
void fill_entry(ll_device &entry, libusb_device *dev) {
    entry = ll_device{};
    usb_ll_take_identity(entry, dev);
    entry.ops = &ll_op_usb;
}

int collect_cameras(libusb_device **devs, int count, ll_device *entries, int max) {
    constexpr const char *fn = "usb_ll_dev_list";
    int found = 0;
    for (int i = 0; i < count && found < max; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(devs[i], &desc) != 0) {
            NX_ERR(fn, "[%s]   Failed to get device desc of device %d\n", i);
            continue;
        }
        NX_TRC(fn, "[%s] [%02d] %04x:%04x @ %03d:%03d:%03d\n", i, desc.idVendor, desc.idProduct,
               libusb_get_port_number(devs[i]), libusb_get_bus_number(devs[i]),
               libusb_get_device_address(devs[i]));
        if (desc.idVendor != USB_VID || desc.idProduct != USB_PID) continue;
        ll_device &entry = entries[found++];
        fill_entry(entry, devs[i]);
        NX_DBG(fn, "[%s]   NIVEX device (speed=%d) found @ %03d:%03d:%03d, %p\n", entry.usb_speed,
               entry.usb_port, entry.usb_bus, entry.usb_addr, static_cast<void *>(&entry));
    }
    return found;
}

}  // namespace

int usb_ll_dev_list(ll_device *entries, int max) {
    constexpr const char *fn = "usb_ll_dev_list";
    if (entries == nullptr || max <= 0) return 0;
    libusb_context *ctx = nullptr;
    int rc = libusb_init(&ctx);
    if (rc != 0) {
        NX_ERR(fn, "[%s]  create usb context failed: %s\n", libusb_error_name(rc));
        return 0;
    }
    for (int i = 0; i < max; ++i)
        entries[i] = ll_device{};
    libusb_device **devs = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &devs);
    if (count < 0) {
        NX_ERR(fn, "[%s]   enum usb device failed: %d \n", static_cast<int>(count));
        libusb_exit(ctx);
        return 0;
    }
    NX_DBG(fn, "[%s] probe nivex device (max=%d) in %d usb device\n", max, static_cast<int>(count));
    int found = collect_cameras(devs, static_cast<int>(count), entries, max);
    libusb_free_device_list(devs, 1);
    libusb_exit(ctx);
    return found;
}
