// Capture streaming: 16 bulk transfers stay queued on the stream endpoint;
// each completion goes to the capture engine's callback and is resubmitted
// at once unless the capture is aborting.
#include "common/nx_log.h"
#include "ll/usb/usb_ll_cmd.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

constexpr uint8_t kStopPayload = 0xC2;

void clear_stream_halt(usb_ll_dev_priv *priv, const char *fn) {
    if (libusb_clear_halt(priv->handle, USB_EP_STREAM) != 0) {
        NX_ERR(fn, "[%s]  Clear halt failed on EP: %0x!\r\n", USB_EP_STREAM);
    }
}

// Maps a completion to its capture event, with the message it deserves.
int capture_event(usb_ll_dev_priv *priv, const libusb_transfer &transfer, int slot) {
    constexpr const char *fn = "on_usb_trans_event";
    switch (transfer.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return LL_CAP_EVT_DATA;
        case LIBUSB_TRANSFER_CANCELLED:
            NX_TRC(fn, "[%s] trans[%d] cancelled (last_tx=%d)\n", slot, transfer.actual_length);
            return LL_CAP_EVT_CANCELLED;
        case LIBUSB_TRANSFER_TIMED_OUT:
            NX_DBG(fn, "[%s] trans[%d] timeout (last_tx=%d)\n", slot, transfer.actual_length);
            return LL_CAP_EVT_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            NX_WRN(fn, "[%s] trans[%d] stall (last_tx=%d)\n", slot, transfer.actual_length);
            clear_stream_halt(priv, fn);
            return LL_CAP_EVT_STALL;
        default:
            NX_WRN(fn, "[%s] trans[%d] error (%d) (last_tx=%d)\n", slot,
                   static_cast<int>(transfer.status), transfer.actual_length);
            return LL_CAP_EVT_ERROR;
    }
}

// A slot that cannot be queued again is lost to the capture. The camera
// leaving the bus just after a transfer completed normally shows only here:
// without a report the capture would go quiet, every slot idle, and nobody
// told. The capture engine takes it as the transfer error it is; after a
// completion that was an error already, the engine has heard it once.
void report_lost_slot(ll_device *ll, usb_ll_dev_priv *priv, int slot, int event, int rc) {
    if (rc == LIBUSB_ERROR_NO_DEVICE) ll_set_gone(*ll, true);
    if (event == LL_CAP_EVT_ERROR) return;
    NX_WRN("on_usb_trans_event", "[%s] trans[%d] lost to the capture\n", slot);
    if (ll_cap_event_cb callback = priv->cap_cb.load(); callback != nullptr)
        callback(ll, LL_CAP_EVT_ERROR, nullptr, 0, priv->cap_cb_arg.load());
}

void LIBUSB_CALL on_usb_trans_event(libusb_transfer *transfer) {
    constexpr const char *fn = "on_usb_trans_event";
    auto *ll = static_cast<ll_device *>(transfer->user_data);
    usb_ll_dev_priv *priv = usb_priv(ll);
    const int slot = static_cast<int>(libusb_transfer_get_stream_id(transfer));
    if (priv == nullptr || slot < 0 || slot >= USB_TRANS_NUM) return;
    NX_TRC(fn, "[%s] trans[%d]: txlen=%d, status = %d\n", slot, transfer->actual_length,
           static_cast<int>(transfer->status));
    priv->trans_status[slot].store(transfer->status);
    // Marked before the capture engine hears of it, so it can tell an
    // unplug from any other transfer error.
    if (transfer->status == LIBUSB_TRANSFER_NO_DEVICE) ll_set_gone(*ll, true);
    const int event = capture_event(priv, *transfer, slot);
    if (ll_cap_event_cb callback = priv->cap_cb.load(); callback != nullptr) {
        callback(ll, event, transfer->buffer, transfer->actual_length, priv->cap_cb_arg.load());
    }
    // Read after the callback, so a callback that aborts stops this very slot.
    if (transfer->length > 0 && priv->cap_abort.load() == 0) {
        NX_TRC(fn, "[%s] trans[%d] issue: size=%d \n", slot, transfer->length);
        transfer->timeout = USB_TRANS_TIMEOUT_MS;
        const int rc = libusb_submit_transfer(transfer);
        if (rc == 0) {
            // A stop that raced with this resubmission may have found the
            // transfer idle and not cancelled it; then it is cancelled here.
            if (priv->cap_abort.load() != 0) libusb_cancel_transfer(transfer);
            return;
        }
        NX_ERR(fn, "[%s] Unable to submit URB. libusb error code: %d\n", rc);
        report_lost_slot(ll, priv, slot, event, rc);
    }
    priv->trans_busy[slot].store(false, std::memory_order_release);
}

void submit_all(ll_device *ll, usb_ll_dev_priv *priv, const char *fn) {
    for (int i = 0; i < USB_TRANS_NUM; ++i) {
        libusb_transfer *transfer = priv->trans[i].get();
        // A slot libusb still holds from an earlier capture cannot be reused.
        if (priv->trans_busy[i].load(std::memory_order_acquire)) {
            NX_ERR(fn, "[%s] trans[%d] issue failed\n", i);
            continue;
        }
        libusb_fill_bulk_transfer(transfer, priv->handle, USB_EP_STREAM, priv->trans_buf[i].get(),
                                  USB_TRANS_SIZE, on_usb_trans_event, ll, USB_TRANS_TIMEOUT_MS);
        libusb_transfer_set_stream_id(transfer, static_cast<uint32_t>(i));
        priv->trans_busy[i].store(true, std::memory_order_release);
        if (libusb_submit_transfer(transfer) != 0) {
            priv->trans_busy[i].store(false, std::memory_order_release);
            NX_ERR(fn, "[%s] trans[%d] issue failed\n", i);
            continue;
        }
        NX_TRC(fn, "[%s] trans[%d] issue: txlen=%d\n", i, USB_TRANS_SIZE);
    }
}

// The private record of an open session, or NULL (logged) when the call
// cannot be served: closed session, or a caller on the event thread, whose
// own completions a blocking command would wait for in vain.
usb_ll_dev_priv *command_priv(ll_device *ll, const char *fn) {
    usb_ll_dev_priv *priv = usb_priv(ll);
    if (priv == nullptr || priv->handle == nullptr) {
        NX_ERR(fn, "[%s]  USB handler Is NULL!\r\n");
        return nullptr;
    }
    if (usb_ll_on_evt_thread(priv)) {
        NX_ERR(fn, "[%s] refused on the event thread\n");
        return nullptr;
    }
    return priv;
}

}  // namespace

void usb_ll_cap_abort(ll_device *ll) {
    usb_ll_dev_priv *priv = usb_priv(ll);
    if (priv != nullptr) priv->cap_abort.store(1);
}

bool usb_ll_cap_start(ll_device *ll, uint32_t start_arg, ll_cap_event_cb callback, void *cb_arg) {
    constexpr const char *fn = "usb_ll_cap_start";
    usb_ll_dev_priv *priv = command_priv(ll, fn);
    if (priv == nullptr) return false;
    // Cancellations of the previous capture may still be on their way; every
    // slot must be back before any is submitted again, or the old capture's
    // bytes would reach the new capture's callback.
    if (!usb_ll_wait_transfers_idle(priv, kTransferDrainTimeout, true)) {
        NX_ERR(fn, "[%s] transfers of the last capture are still outstanding\n");
        return false;
    }
    priv->cap_abort.store(0);
    clear_stream_halt(priv, fn);
    priv->cap_cb_arg.store(cb_arg);
    priv->cap_cb.store(callback);
    submit_all(ll, priv, fn);

    NX_TRC(fn, "[%s] Enter\n");
    uint8_t payload[4];
    nx::store_le32(payload, start_arg);
    if (usb_cmd_send_checked(ll, REQ_REG, kSubCapStart, payload, sizeof payload)) return true;
    NX_WRN(fn, "[%s] nivex_ll_cap_start failed\n");
    // Cancelled transfers must not be resubmitted, whatever the callback does.
    priv->cap_abort.store(1);
    usb_ll_cap_cancel_all(priv, fn);
    return false;
}

bool usb_ll_cap_idle(ll_device *ll, uint32_t timeout_ms) {
    usb_ll_dev_priv *priv = usb_priv(ll);
    if (priv == nullptr) return true;  // closed: nothing can be outstanding
    // The event thread completes the transfers; it cannot wait for them.
    if (usb_ll_on_evt_thread(priv)) return false;
    return usb_ll_wait_transfers_idle(priv, std::chrono::milliseconds(timeout_ms), true);
}

bool usb_ll_cap_stop(ll_device *ll) {
    constexpr const char *fn = "usb_ll_cap_stop";
    usb_ll_dev_priv *priv = command_priv(ll, fn);
    if (priv == nullptr) return false;
    priv->cap_abort.store(1);
    usb_ll_cap_cancel_all(priv, fn);
    const uint8_t payload = kStopPayload;
    const bool stopped = usb_cmd_send_checked(ll, REQ_REG, kSubCapStop, &payload, 1);
    // Once stop returns no capture event is on its way any more, so the
    // caller may reset what the events feed without racing the event thread.
    usb_ll_wait_transfers_idle(priv, kTransferDrainTimeout, true);
    return stopped;
}
