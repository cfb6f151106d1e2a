// Opening and closing a camera: context, device handle, configuration,
// interface claim and the event thread.
#include <exception>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

constexpr const char *kFindFn = "_usb_ll_dev_open";

// The device list of a context, unreferenced and freed with the object.
class DeviceList {
  public:
    explicit DeviceList(libusb_context *ctx) : count_(libusb_get_device_list(ctx, &devs_)) {}
    ~DeviceList() {
        if (devs_ != nullptr) libusb_free_device_list(devs_, 1);
    }
    DeviceList(const DeviceList &) = delete;
    DeviceList &operator=(const DeviceList &) = delete;

    ssize_t count() const { return count_; }
    libusb_device *operator[](ssize_t i) const { return devs_[i]; }

  private:
    libusb_device **devs_ = nullptr;
    ssize_t count_;
};

bool is_camera(libusb_device *dev, ssize_t index) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0) {
        NX_ERR(kFindFn, "[%s]   Failed to get device desc of device %d\n", static_cast<int>(index));
        return false;
    }
    return desc.idVendor == USB_VID && desc.idProduct == USB_PID;
}

// The camera on the session's bus and port; the address is not compared
// because it changes whenever the camera re-enumerates.
libusb_device_handle *open_named_camera(const ll_device &ll, const DeviceList &devs) {
    for (ssize_t i = 0; i < devs.count(); ++i) {
        libusb_device *dev = devs[i];
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(dev, &desc) != 0) {
            NX_ERR(kFindFn, "[%s]   Failed to get device desc of device %d\n", static_cast<int>(i));
            continue;
        }
        const int bus = libusb_get_bus_number(dev);
        const int port = libusb_get_port_number(dev);
        NX_TRC(kFindFn, "[%s] [%d] %04x:%04x (speed=%d) @ %03d:%03d:%03d\n", static_cast<int>(i),
               desc.idVendor, desc.idProduct, libusb_get_device_speed(dev), port, bus,
               libusb_get_device_address(dev));
        if (desc.idVendor != USB_VID || desc.idProduct != USB_PID) continue;
        if (bus != ll.usb_bus || port != ll.usb_port) continue;
        NX_DBG(kFindFn, "[%s] open nivex device @ %03d:%03d:%03d\n", ll.usb_port, ll.usb_bus,
               ll.usb_addr);
        libusb_device_handle *handle = nullptr;
        int rc = libusb_open(dev, &handle);
        if (rc == 0) return handle;
        NX_WRN(kFindFn, "[%s] failed to open this device: %s\n", libusb_error_name(rc));
    }
    return nullptr;
}

// The first camera that opens; the session then names it.
libusb_device_handle *open_first_camera(ll_device &ll, const DeviceList &devs) {
    for (ssize_t i = 0; i < devs.count(); ++i) {
        libusb_device *dev = devs[i];
        if (!is_camera(dev, i)) continue;
        const int speed = libusb_get_device_speed(dev);
        const int bus = libusb_get_bus_number(dev);
        const int port = libusb_get_port_number(dev);
        const int addr = libusb_get_device_address(dev);
        NX_DBG(kFindFn, "[%s] found nivex device (speed=%d) @ %03d:%03d:%03d\n", speed, port, bus,
               addr);
        if (speed < LIBUSB_SPEED_HIGH) {
            NX_WRN(kFindFn, "[%s] found nivex device not in HS mode (speed=%d) @ %03d:%03d:%03d\n",
                   speed, port, bus, addr);
        }
        libusb_device_handle *handle = nullptr;
        int rc = libusb_open(dev, &handle);
        if (rc != 0) {
            NX_WRN(kFindFn, "[%s]   failed to open this device: %s, try next ...\n",
                   libusb_error_name(rc));
            continue;
        }
        usb_ll_take_identity(ll, dev);
        return handle;
    }
    return nullptr;
}

libusb_device_handle *find_and_open(ll_device &ll, libusb_context *ctx) {
    DeviceList devs(ctx);
    if (devs.count() < 0) {
        NX_ERR(kFindFn, "[%s]   enum libusb device failed: %d \n", static_cast<int>(devs.count()));
        return nullptr;
    }
    NX_TRC(kFindFn, "[%s]   %d usb device found \n", static_cast<int>(devs.count()));
    return ll.ident_valid != 0 ? open_named_camera(ll, devs) : open_first_camera(ll, devs);
}

bool create_context(usb_ll_dev_priv *priv) {
    NX_DBG(kFindFn, "[%s]  create usb context\n");
    int rc = libusb_init(&priv->ctx);
    if (rc != 0) {
        priv->ctx = nullptr;
        NX_ERR(kFindFn, "[%s]  create usb context failed: %s\n", libusb_error_name(rc));
        return false;
    }
    libusb_set_option(priv->ctx, LIBUSB_OPTION_LOG_LEVEL, usb_ll_debug_level());
    return true;
}

// Configuration, interface and event thread of a freshly opened camera.
// On failure the session is closed again.
bool start_session(ll_device *ll, usb_ll_dev_priv *priv) {
    constexpr const char *fn = "usb_ll_dev_open";
    int rc = libusb_set_configuration(priv->handle, USB_CONFIG);
    if (rc != 0) {
        NX_ERR(fn, "[%s] libusb_set_configuration failed: %s\n", libusb_error_name(rc));
        usb_ll_dev_close(ll);
        return false;
    }
    libusb_set_auto_detach_kernel_driver(priv->handle, 1);
    rc = libusb_claim_interface(priv->handle, 0);
    if (rc != 0) rc = libusb_claim_interface(priv->handle, 1);
    if (rc != 0) {
        NX_ERR(fn, "[%s] libusb_claim_interface failed: %s\n", libusb_error_name(rc));
        usb_ll_dev_close(ll);
        return false;
    }
    priv->evt_running.store(0);
    priv->evt_ended.store(false);
    priv->evt_exit_flag().store(0);
    try {
        priv->evt_thread = usb_ll_start_evt_thread(ll);
    } catch (const std::exception &) {
        NX_ERR(fn, "[%s]  create evt thread failed\n");
        usb_ll_dev_close(ll);
        return false;
    }
    return true;
}

// Gives libusb the chance to hand back every transfer it holds before the
// record that owns them goes; cancels capture transfers still queued.
void drain_transfers(usb_ll_dev_priv *priv, const char *fn) {
    if (usb_ll_transfers_outstanding(priv) == 0) return;
    priv->cap_abort.store(1);
    usb_ll_cap_cancel_all(priv, fn);
    usb_ll_wait_transfers_idle(priv, kTransferDrainTimeout, false);
}

void stop_evt_thread(usb_ll_dev_priv *priv, const char *fn) {
    if (priv->evt_exit_flag().load() == 0) {
        NX_DBG(fn, "[%s] stop evt thread...\n");
        priv->evt_exit_flag().store(1);
        // Wakes the event wait now instead of at its time-out.
        libusb_interrupt_event_handler(priv->ctx);
    }
    if (priv->evt_thread.joinable()) priv->evt_thread.join();
}

}  // namespace

ll_device *usb_ll_dev_open(ll_device *ll) {
    if (ll == nullptr || ll->dev_fd != 0) return nullptr;
    if (usb_priv(ll) != nullptr && usb_priv(ll)->handle != nullptr) {
        NX_WRN("usb_ll_dev_open", "[%s] device is open already\n");
        return nullptr;
    }
    if (ll->priv == nullptr && !usb_ll_priv_alloc(ll)) return nullptr;
    usb_ll_dev_priv *priv = usb_priv(ll);
    if (priv->ctx == nullptr && !create_context(priv)) {
        usb_ll_priv_free(ll);
        return nullptr;
    }
    priv->handle = find_and_open(*ll, priv->ctx);
    if (priv->handle == nullptr) {
        libusb_exit(priv->ctx);
        priv->ctx = nullptr;
        usb_ll_priv_free(ll);
        return nullptr;
    }
    ll->dev_fd = 0;
    if (!start_session(ll, priv)) return nullptr;
    ll_set_gone(*ll, false);
    ll->ops = &ll_op_usb;
    return ll;
}

// No descriptor-based path exists on this platform: open allocates the
// private record itself when it is missing.
ll_device *usb_ll_dev_open_by_fd(ll_device *ll) {
    return usb_ll_dev_open(ll);
}

void usb_ll_dev_close(ll_device *ll) {
    constexpr const char *fn = "usb_ll_dev_close";
    if (ll == nullptr || ll->dev_fd != 0) return;
    usb_ll_dev_priv *priv = usb_priv(ll);
    if (priv == nullptr || priv->ctx == nullptr || priv->handle == nullptr) {
        NX_WRN(fn, "[%s] device no need to closed!\n");
        return;
    }
    if (usb_ll_on_evt_thread(priv)) {
        NX_ERR(fn, "[%s] close refused on the event thread\n");
        return;
    }
    drain_transfers(priv, fn);
    stop_evt_thread(priv, fn);
    libusb_release_interface(priv->handle, 0);
    libusb_release_interface(priv->handle, 1);
    libusb_close(priv->handle);
    priv->handle = nullptr;
    libusb_exit(priv->ctx);
    priv->ctx = nullptr;
    usb_ll_priv_free(ll);
}
