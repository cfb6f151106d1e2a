// The command channel: one class control request on the default endpoint,
// waited for by polling a completion flag that the event thread sets.
//
// A command that does not complete is cancelled after about 1 s and given up
// after about 2 s. libusb may still complete it later, so the exchange record
// (transfer, buffer, flag) is shared between the waiter and the completion
// callback: whichever of the two finishes last frees it.
#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_cmd.h"
#include "ll/usb/usb_ll_priv.h"

namespace {

constexpr const char *kFn = "usb_ll_exe_cmd";
constexpr const char *kFinishFn = "_usb_ll_on_cmd_finish";

// Class requests addressed to an endpoint, host-to-camera and camera-to-host.
constexpr uint8_t kRequestTypeOut = 0x22;
constexpr uint8_t kRequestTypeIn = 0xA2;

constexpr auto kCancelAfter = std::chrono::milliseconds(1000);
constexpr auto kGiveUpAfter = std::chrono::milliseconds(2000);
// How long a command cancelled because its session is closing may take to
// come back before it is abandoned.
constexpr auto kAbortGrace = std::chrono::milliseconds(500);
// Polling starts fine-grained (a control exchange takes well under a
// millisecond) and backs off to 10 ms for slow answers.
constexpr auto kFirstPause = std::chrono::microseconds(20);
constexpr auto kLongestPause = std::chrono::microseconds(10000);

enum CommandState : int { kPending = 0, kDone = 1, kAbandoned = 2 };

struct UsbCommand {
    std::atomic<int> state{kPending};
    usb_ll_dev_priv *priv = nullptr;
    TransferPtr transfer;
    std::vector<uint8_t> buffer;  // setup packet, then the data stage
};

void LIBUSB_CALL on_cmd_finish(libusb_transfer *transfer) {
    auto *command = static_cast<UsbCommand *>(transfer->user_data);
    usb_ll_dev_priv *priv = command->priv;
    NX_TRC(kFinishFn, "[%s] tx actual_len = %d, status  = %d\n", transfer->actual_length,
           transfer->status);
    int expected = kPending;
    if (!command->state.compare_exchange_strong(expected, kDone, std::memory_order_acq_rel)) {
        // The waiter has left; the record is ours to free.
        std::unique_ptr<UsbCommand> abandoned(command);
    }
    // From here on `command` may be gone: the waiter frees it once it sees kDone.
    priv->cmd_in_flight.fetch_sub(1, std::memory_order_release);
}

// Polls until the callback has run. False when the waiter gave up; the
// record then belongs to the callback. A command of a session whose owner
// aborts commands (a close) is cancelled at once and given up soon after.
bool wait_for_completion(const ll_device &ll, UsbCommand &command, bool &cancelled) {
    const auto start = std::chrono::steady_clock::now();
    auto give_up_at = start + kGiveUpAfter;
    bool aborted = false;
    auto pause = std::chrono::duration_cast<std::chrono::microseconds>(kFirstPause);
    for (;;) {
        if (command.state.load(std::memory_order_acquire) == kDone) return true;
        const auto now = std::chrono::steady_clock::now();
        if (!aborted && ll_cmd_abort(ll)) {
            aborted = true;
            give_up_at = std::min(give_up_at, now + kAbortGrace);
            if (!cancelled) libusb_cancel_transfer(command.transfer.get());
            cancelled = true;
        }
        if (!cancelled && now - start >= kCancelAfter) {
            NX_WRN(kFn, "[%s] contrl trans timeout , cancel it\n");
            libusb_cancel_transfer(command.transfer.get());
            cancelled = true;
        }
        if (now >= give_up_at) {
            int expected = kPending;
            return !command.state.compare_exchange_strong(expected, kAbandoned,
                                                          std::memory_order_acq_rel);
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kLongestPause);
    }
}

// The libusb result of a completed transfer: data bytes moved, or an error.
int transfer_result(const libusb_transfer &transfer, bool cancelled_by_us) {
    switch (transfer.status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return transfer.actual_length;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        case LIBUSB_TRANSFER_CANCELLED:
            // Our own cancel after the wait ran long: the command timed out.
            return cancelled_by_us ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_ERROR:
            return LIBUSB_ERROR_IO;
    }
    NX_WRN(kFn, "[%s] unrecognised status code %d", static_cast<int>(transfer.status));
    return -99;
}

std::unique_ptr<UsbCommand> make_command(usb_ll_dev_priv *priv, int len) {
    std::unique_ptr<UsbCommand> command;
    try {
        command = std::make_unique<UsbCommand>();
        command->buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + static_cast<size_t>(len), 0);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    command->priv = priv;
    command->transfer.reset(libusb_alloc_transfer(0));
    if (command->transfer == nullptr) return nullptr;
    return command;
}

// One control exchange. The result is the byte count or a libusb error;
// nullopt when it failed before reaching the wire (already logged).
std::optional<int> control_exchange(const ll_device &ll, usb_ll_dev_priv *priv,
                                    uint8_t request_type, uint8_t cmd, uint16_t sub,
                                    const void *out, void *in, int len, uint32_t timeout_ms) {
    std::unique_ptr<UsbCommand> command = make_command(priv, len);
    if (command == nullptr) {
        NX_ERR(kFn, "[%s] no memory\n");
        return std::nullopt;
    }
    uint8_t *setup = command->buffer.data();
    libusb_fill_control_setup(setup, request_type, cmd, sub, 0, static_cast<uint16_t>(len));
    if (out != nullptr && len > 0) std::memcpy(setup + LIBUSB_CONTROL_SETUP_SIZE, out, len);
    libusb_transfer *transfer = command->transfer.get();
    libusb_fill_control_transfer(transfer, priv->handle, setup, on_cmd_finish, command.get(),
                                 timeout_ms);

    priv->cmd_in_flight.fetch_add(1, std::memory_order_acq_rel);
    if (const int rc = libusb_submit_transfer(transfer); rc != 0) {
        priv->cmd_in_flight.fetch_sub(1, std::memory_order_acq_rel);
        NX_ERR(kFn, "[%s] libusb_submit_transfer failed\n");
        // The camera has left the bus: that is the exchange's result.
        if (rc == LIBUSB_ERROR_NO_DEVICE) return rc;
        return std::nullopt;
    }
    bool cancelled = false;
    if (!wait_for_completion(ll, *command, cancelled)) {
        static_cast<void>(command.release());  // the completion callback frees it
        NX_ERR(kFn, "[%s] control transfer timeout !\n");
        return LIBUSB_ERROR_TIMEOUT;
    }
    int result = transfer_result(*transfer, cancelled);
    if (in != nullptr && transfer->actual_length > 0) {
        std::memcpy(in, libusb_control_transfer_get_data(transfer),
                    std::min(transfer->actual_length, len));
    }
    return result;
}

// Checks the caller and the arguments, runs the exchange, reports failure.
bool exchange(ll_device *ll, uint8_t request_type, uint8_t cmd, uint16_t sub, const void *out,
              void *in, int len, uint32_t timeout_ms) {
    usb_ll_dev_priv *priv = usb_priv(ll);
    if (priv == nullptr || priv->handle == nullptr) {
        NX_ERR(kFn, "[%s]  USB handler Is NULL!\r\n");
        return false;
    }
    if (len < 0 || len > UINT16_MAX || (len > 0 && out == nullptr && in == nullptr)) {
        NX_ERR(kFn, "[%s] invalid data (len=%d)\n", len);
        return false;
    }
    if (usb_ll_on_evt_thread(priv)) {
        // The event thread completes command transfers; waiting here would
        // only ever time out.
        NX_ERR(kFn, "[%s] command 0x%02x refused on the event thread\n", cmd);
        return false;
    }
    if (ll_cmd_abort(*ll)) {
        NX_ERR(kFn, "[%s] command 0x%02x abandoned: the session is closing\n", cmd);
        return false;
    }
    std::optional<int> result =
        control_exchange(*ll, priv, request_type, cmd, sub, out, in, len, timeout_ms);
    if (!result) return false;
    if (*result == LIBUSB_ERROR_NO_DEVICE) ll_set_gone(*ll, true);
    if (*result == len) return true;
    // A short transfer is no libusb error: name it as what it is.
    char shortfall[48];
    if (*result >= 0)
        std::snprintf(shortfall, sizeof shortfall, "short transfer, %d of %d bytes", *result, len);
    NX_ERR(kFn, "[%s] exe usb cmd failed: %s\n",
           *result >= 0 ? shortfall : libusb_error_name(*result));
    return false;
}

}  // namespace

bool usb_cmd_send(ll_device *ll, uint8_t cmd, uint16_t sub, const void *data, int len,
                  uint32_t timeout_ms) {
    return exchange(ll, kRequestTypeOut, cmd, sub, data, nullptr, len, timeout_ms);
}

bool usb_cmd_recv(ll_device *ll, uint8_t cmd, uint16_t sub, void *data, int len,
                  uint32_t timeout_ms) {
    return exchange(ll, kRequestTypeIn, cmd, sub, nullptr, data, len, timeout_ms);
}

bool usb_ll_exe_cmd(ll_device *ll, uint8_t dir, uint8_t cmd, uint16_t sub, void *data, int len,
                    uint32_t timeout_ms) {
    return dir != 0 ? usb_cmd_send(ll, cmd, sub, data, len, timeout_ms)
                    : usb_cmd_recv(ll, cmd, sub, data, len, timeout_ms);
}
