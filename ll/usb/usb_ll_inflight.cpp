// Bookkeeping of the transfers libusb holds for a camera: counting them,
// cancelling the capture transfers and waiting until libusb hands them back.
#include <sys/time.h>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

int capture_outstanding(const usb_ll_dev_priv *priv) {
    int busy = 0;
    for (const auto &slot : priv->trans_busy)
        busy += slot.load(std::memory_order_acquire) ? 1 : 0;
    return busy;
}

// Lets completions happen for a moment: the event thread does that while it
// runs; once it has ended, the waiting thread handles the events itself.
void let_events_run(usb_ll_dev_priv *priv) {
    if (priv->evt_ended.load(std::memory_order_acquire)) {
        timeval slice{0, 10000};
        libusb_handle_events_timeout_completed(priv->ctx, &slice, nullptr);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

int usb_ll_transfers_outstanding(const usb_ll_dev_priv *priv) {
    return capture_outstanding(priv) + priv->cmd_in_flight.load(std::memory_order_acquire);
}

void usb_ll_cap_cancel_all(usb_ll_dev_priv *priv, const char *fn) {
    for (int i = 0; i < USB_TRANS_NUM; ++i) {
        NX_TRC(fn, "[%s] trans[%d] cancel: status=%d\n", i, priv->trans_status[i].load());
        // A transfer that completes meanwhile just answers "not found".
        if (priv->trans_busy[i].load(std::memory_order_acquire)) {
            libusb_cancel_transfer(priv->trans[i].get());
        }
    }
}

bool usb_ll_wait_transfers_idle(usb_ll_dev_priv *priv, std::chrono::milliseconds limit,
                                bool capture_only) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto outstanding = [&] {
        return capture_only ? capture_outstanding(priv) : usb_ll_transfers_outstanding(priv);
    };
    while (outstanding() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        let_events_run(priv);
    }
    return true;
}
