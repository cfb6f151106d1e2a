// The per-camera event thread: the only thread that handles libusb events
// for the camera's context, so every transfer completes on it.
#include <sys/time.h>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

// The record whose events the calling thread handles, if it is an event thread.
thread_local const usb_ll_dev_priv *t_evt_priv = nullptr;

// True when the loop should end after the error `rc` of an event wait.
bool leave_on_error(int rc, bool exit_requested) {
    constexpr const char *fn = "_ll_event_loop";
    // Close wakes the wait on purpose; that is no error.
    if (rc == LIBUSB_ERROR_INTERRUPTED && exit_requested) return true;
    NX_ERR(fn, "[%s] libusb reports error: %s\n", libusb_error_name(rc));
    switch (rc) {
        case LIBUSB_ERROR_INTERRUPTED:
            NX_WRN(fn, "[%s] libusb_handle_events LIBUSB_ERROR_INTERRUPTED \n");
            return true;
        case LIBUSB_ERROR_TIMEOUT:
            NX_WRN(fn, "[%s] libusb_handle_events timeout \n");
            return true;
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_OVERFLOW:
            return exit_requested;
        default:
            return true;
    }
}

}  // namespace

bool usb_ll_on_evt_thread(const usb_ll_dev_priv *priv) {
    return priv != nullptr && t_evt_priv == priv;
}

void usb_ll_evt_thread(ll_device *ll) {
    usb_ll_dev_priv *priv = usb_priv(ll);
    t_evt_priv = priv;
    NX_DBG("_usb_ll_evt_thread", "[%s] enter\n");
    priv->evt_running.store(1);
    NX_TRC("_ll_event_loop", "[%s] Enter ll event loop...\n");
    for (;;) {
        timeval wait{0, EVT_TIMEOUT_US};
        int rc = libusb_handle_events_timeout_completed(priv->ctx, &wait, &priv->evt_exit);
        bool exit_requested = priv->evt_exit_flag().load() != 0;
        if (rc >= 0) {
            if (exit_requested) break;
            continue;
        }
        if (leave_on_error(rc, exit_requested)) break;
    }
    priv->evt_running.store(0);
    NX_TRC("_ll_event_loop", "[%s] Exit ll event loop...\n");
    NX_DBG("_usb_ll_evt_thread", "[%s] exit\n");
    t_evt_priv = nullptr;
    priv->evt_ended.store(true);
}
