// Resets: the camera resets the part named by the target. Target 3 resets
// its USB interface: the camera drops off the bus and comes back on the same
// bus and port with a new address, so the session is closed and reopened.
#include <chrono>
#include <thread>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_cmd.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

constexpr const char *kFn = "usb_ll_dev_reset";
constexpr int kReopenAttempts = 15;
constexpr auto kReopenPause = std::chrono::milliseconds(200);
constexpr int kReopenWindowMs = 3000;

// Always false: the reset ended the session, even if it could be reopened.
bool reset_usb_interface(ll_device *ll, const uint8_t (&payload)[4]) {
    NX_TRC(kFn, "[%s] Reset usb if (timeout = %d ms) ...\n", kReopenWindowMs);
    // The camera leaves the bus instead of answering: no status to ask for.
    static_cast<void>(usb_cmd_send(ll, REQ_DEV, kSubDevReset, payload, sizeof payload));
    usb_ll_dev_close(ll);
    for (int attempt = 0; attempt < kReopenAttempts; ++attempt) {
        std::this_thread::sleep_for(kReopenPause);
        if (ll_cmd_abort(*ll)) {
            // The owner is closing the session: no camera to reopen for it.
            NX_WRN(kFn, "[%s] reopen abandoned: the session is closing\n");
            break;
        }
        if (nivex_ll_dev_open(ll) != nullptr) {
            NX_TRC(kFn, "[%s] Reset usb if end. \n");
            return false;
        }
    }
    NX_WRN(kFn, "[%s] reopen device failed!\n");
    NX_TRC(kFn, "[%s] Reset usb if end. \n");
    return false;
}

}  // namespace

bool usb_ll_dev_reset(ll_device *ll, uint8_t target) {
    NX_TRC(kFn, "[%s] rest device (target=%d)\n", target);
    uint8_t payload[4];
    nx::store_le32(payload, target);
    if (target == kResetTargetUsbIf) {
        // Without an open session there is nothing to reset, and reopening
        // would open a camera the caller never opened.
        const usb_ll_dev_priv *priv = usb_priv(ll);
        if (priv == nullptr || priv->handle == nullptr) {
            NX_ERR(kFn, "[%s]  USB handler Is NULL!\r\n");
            return false;
        }
        return reset_usb_interface(ll, payload);
    }
    return usb_cmd_send_checked(ll, REQ_DEV, kSubDevReset, payload, sizeof payload);
}
