// Allocation and release of the private record of an open USB camera.
#include <new>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_priv.h"

bool usb_ll_priv_alloc(ll_device *ll) {
    constexpr const char *fn = "_usb_ll_dev_priv_alloc";
    std::unique_ptr<usb_ll_dev_priv> priv;
    try {
        priv = std::make_unique<usb_ll_dev_priv>();
    } catch (const std::bad_alloc &) {
        NX_ERR(fn, "[%s] malloc failed\n");
        return false;
    }
    // Whatever was allocated before a failure goes with `priv`.
    for (int i = 0; i < USB_TRANS_NUM; ++i) {
        priv->trans[i].reset(libusb_alloc_transfer(0));
        try {
            if (priv->trans[i] != nullptr) {
                priv->trans_buf[i] = std::make_unique_for_overwrite<uint8_t[]>(USB_TRANS_SIZE);
            }
        } catch (const std::bad_alloc &) {
        }
        if (priv->trans[i] == nullptr || priv->trans_buf[i] == nullptr) {
            NX_ERR(fn, "[%s] malloc failed!\n");
            return false;
        }
    }
    ll->priv = priv.release();
    return true;
}

void usb_ll_priv_free(ll_device *ll) {
    std::unique_ptr<usb_ll_dev_priv> priv(usb_priv(ll));
    ll->priv = nullptr;
    if (priv == nullptr) return;
    if (priv->evt_thread.joinable()) {
        // Only reachable through a failed open path; never leave a thread
        // running on a record that is about to go.
        priv->evt_exit_flag().store(1);
        priv->evt_thread.join();
    }
    int leaked = 0;
    for (int i = 0; i < USB_TRANS_NUM; ++i) {
        if (!priv->trans_busy[i].load(std::memory_order_acquire)) continue;
        static_cast<void>(priv->trans[i].release());
        static_cast<void>(priv->trans_buf[i].release());
        ++leaked;
    }
    // Command transfers a waiter gave up on own themselves; they stay too.
    int commands = priv->cmd_in_flight.load(std::memory_order_acquire);
    if (leaked + commands > 0) {
        NX_ERR("usb_ll_priv_free",
               "[%s] libusb still holds %d capture and %d command transfer(s): left allocated\n",
               leaked, commands);
    }
}
