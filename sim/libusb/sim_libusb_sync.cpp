// The synchronous transfer calls, built on the asynchronous ones as in libusb:
// submit, then handle events on the calling thread until the callback ran.
#include <atomic>
#include <cstring>
#include <vector>

#include "sim/libusb/sim_core.h"

using nxsim::Clock;

namespace {

constexpr timeval kSlice = {0, 10000};

void LIBUSB_CALL mark_done(libusb_transfer *transfer) {
    std::atomic_ref<int>(*static_cast<int *>(transfer->user_data))
        .store(1, std::memory_order_release);
}

libusb_context *context_of(libusb_device_handle *handle) {
    nxsim::usb::Core &core = nxsim::usb::Core::get();
    std::lock_guard lock(core.mu);
    core.require_handle(handle, "a synchronous transfer");
    return handle->dev->ctx;
}

// Runs a filled transfer to its end. A time-out is enforced here by
// cancelling, so it also ends transfers the camera never answers.
int run(libusb_transfer *transfer, unsigned int timeout_ms) {
    int done = 0;
    transfer->user_data = &done;
    transfer->callback = mark_done;
    int result = libusb_submit_transfer(transfer);
    if (result != LIBUSB_SUCCESS) return result;
    libusb_context *ctx = context_of(transfer->dev_handle);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    bool timed_out = false;
    while (!std::atomic_ref<int>(done).load(std::memory_order_acquire)) {
        timeval slice = kSlice;
        libusb_handle_events_timeout_completed(ctx, &slice, &done);
        if (timeout_ms > 0 && !timed_out && Clock::now() >= deadline) {
            timed_out = true;
            libusb_cancel_transfer(transfer);
        }
    }
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return LIBUSB_SUCCESS;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_CANCELLED:
            return timed_out ? LIBUSB_ERROR_TIMEOUT : LIBUSB_ERROR_IO;
        case LIBUSB_TRANSFER_STALL:
            return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW:
            return LIBUSB_ERROR_OVERFLOW;
        default:
            return LIBUSB_ERROR_IO;
    }
}

struct TransferOwner {
    libusb_transfer *transfer = libusb_alloc_transfer(0);
    ~TransferOwner() { libusb_free_transfer(transfer); }
    TransferOwner() = default;
    TransferOwner(const TransferOwner &) = delete;
    TransferOwner &operator=(const TransferOwner &) = delete;
};

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type,
                                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                        unsigned char *data, uint16_t wLength,
                                        unsigned int timeout) {
    TransferOwner owner;
    if (!owner.transfer) return LIBUSB_ERROR_NO_MEM;
    std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + wLength);
    libusb_fill_control_setup(buffer.data(), request_type, bRequest, wValue, wIndex, wLength);
    if (!(request_type & LIBUSB_ENDPOINT_IN) && wLength > 0)
        std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, wLength);
    libusb_fill_control_transfer(owner.transfer, dev_handle, buffer.data(), nullptr, nullptr,
                                 timeout);
    int result = run(owner.transfer, timeout);
    if (result != LIBUSB_SUCCESS) return result;
    if (request_type & LIBUSB_ENDPOINT_IN)
        std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE,
                    static_cast<size_t>(owner.transfer->actual_length));
    return owner.transfer->actual_length;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint,
                                     unsigned char *data, int length, int *actual_length,
                                     unsigned int timeout) {
    TransferOwner owner;
    if (!owner.transfer) return LIBUSB_ERROR_NO_MEM;
    libusb_fill_bulk_transfer(owner.transfer, dev_handle, endpoint, data, length, nullptr, nullptr,
                              timeout);
    int result = run(owner.transfer, timeout);
    if (actual_length) *actual_length = owner.transfer->actual_length;
    return result;
}

}  // extern "C"
