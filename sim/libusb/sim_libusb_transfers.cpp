// Asynchronous transfers: allocation, submission, cancellation.
#include <cstdlib>
#include <new>

#include "sim/libusb/sim_core.h"

using nxsim::Clock;
using nxsim::usb::Core;
using nxsim::usb::misuse;
using nxsim::usb::TransferBlock;
using nxsim::usb::TransferPriv;
using nxsim::usb::TransferState;

namespace {

const char *state_name(TransferState state) {
    switch (state) {
        case TransferState::Idle:
            return "idle";
        case TransferState::InFlight:
            return "in flight";
        case TransferState::Ready:
            return "completed, callback pending";
        case TransferState::Delivering:
            return "completed, callback running soon";
    }
    return "?";
}

int submit_bulk(Core &core, TransferPriv &t, nxsim::TimePoint now) {
    libusb_transfer &pub = nxsim::usb::pub_of(t);
    libusb_device_handle *handle = pub.dev_handle;
    if (!handle->dev->camera->has_endpoint(pub.endpoint)) return LIBUSB_ERROR_NOT_FOUND;
    // Another handle holding the camera's interfaces keeps this one out.
    auto it = core.claims.find(handle->dev->camera.get());
    if (it != core.claims.end()) {
        bool mine = false, theirs = false;
        for (auto *owner : it->second) {
            mine |= owner == handle;
            theirs |= owner && owner != handle;
        }
        if (theirs && !mine) return LIBUSB_ERROR_BUSY;
    }
    if (pub.timeout > 0) t.deadline = now + std::chrono::milliseconds(pub.timeout);
    handle->bulk_queue.push_back(&t);
    return LIBUSB_SUCCESS;
}

}  // namespace

extern "C" {

struct libusb_transfer *LIBUSB_CALL libusb_alloc_transfer(int iso_packets) {
    if (iso_packets < 0) return nullptr;
    // The caller releases it with libusb_free_transfer.
    size_t size = sizeof(TransferBlock) +
                  static_cast<size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    void *raw = std::calloc(1, size);
    if (!raw) return nullptr;
    auto *block = new (raw) TransferBlock();
    auto *pub = new (block->pub) libusb_transfer();
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    ++core.transfers_allocated;
    return pub;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer *transfer) {
    if (!transfer) return;
    TransferPriv &t = nxsim::usb::priv_of(transfer);
    {
        Core &core = Core::get();
        std::lock_guard lock(core.mu);
        if (t.state != TransferState::Idle)
            misuse("libusb_free_transfer", "the transfer (endpoint 0x%02X) is %s",
                   transfer->endpoint, state_name(t.state));
        if (t.orphaned) core.orphans.erase(&t);
        if (!t.forgotten) --core.transfers_allocated;
        if (t.orphaned && !t.forgotten) --core.transfers_in_flight;
    }
    if ((transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) && transfer->buffer)
        std::free(transfer->buffer);
    std::free(reinterpret_cast<TransferBlock *>(&t));
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *transfer) {
    TransferPriv &t = nxsim::usb::priv_of(transfer);
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    if (t.state != TransferState::Idle)
        misuse("libusb_submit_transfer", "the transfer (endpoint 0x%02X) is %s: submitted twice",
               transfer->endpoint, state_name(t.state));
    core.require_handle(transfer->dev_handle, "libusb_submit_transfer");
    if (transfer->length < 0) return LIBUSB_ERROR_INVALID_PARAM;
    if (Core::stale(transfer->dev_handle)) return LIBUSB_ERROR_NO_DEVICE;

    const auto now = Clock::now();
    if (t.orphaned)
        misuse("libusb_submit_transfer", "the transfer was abandoned when its handle was closed");
    const uint32_t stream_id = t.stream_id;
    t = TransferPriv();
    t.stream_id = stream_id;
    t.handle = transfer->dev_handle;
    transfer->actual_length = 0;
    int result;
    switch (transfer->type) {
        case LIBUSB_TRANSFER_TYPE_CONTROL: {
            if (transfer->length < static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE))
                return LIBUSB_ERROR_INVALID_PARAM;
            auto *setup = libusb_control_transfer_get_setup(transfer);
            if (transfer->length <
                static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE + libusb_le16_to_cpu(setup->wLength)))
                return LIBUSB_ERROR_INVALID_PARAM;
            if (transfer->timeout > 0)
                t.deadline = now + std::chrono::milliseconds(transfer->timeout);
            t.state = TransferState::InFlight;
            t.handle->in_flight.push_back(&t);
            ++core.transfers_in_flight;
            core.submit_control(t, now);
            core.notify_all();
            return LIBUSB_SUCCESS;
        }
        case LIBUSB_TRANSFER_TYPE_BULK:
            result = submit_bulk(core, t, now);
            break;
        default:
            return LIBUSB_ERROR_NOT_SUPPORTED;
    }
    if (result != LIBUSB_SUCCESS) return result;
    t.state = TransferState::InFlight;
    t.handle->in_flight.push_back(&t);
    ++core.transfers_in_flight;
    core.notify_all();
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *transfer) {
    TransferPriv &t = nxsim::usb::priv_of(transfer);
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    if (t.state != TransferState::InFlight || t.cancel_requested) return LIBUSB_ERROR_NOT_FOUND;
    t.cancel_requested = true;
    const auto now = Clock::now();
    const auto &camera = t.handle->dev->camera;
    const uint32_t bulk_delay = transfer->type == LIBUSB_TRANSFER_TYPE_BULK && camera != nullptr
                                    ? camera->faults().bulk_cancel_delay_ms()
                                    : 0;
    if (t.hung && t.cancel_delay_ms > 0) {
        t.cancel_due = now + std::chrono::milliseconds(t.cancel_delay_ms);
    } else if (bulk_delay > 0) {
        // Out of the stream's queue: a transfer on its way back gets no bytes.
        std::erase(t.handle->bulk_queue, &t);
        t.cancel_due = now + std::chrono::milliseconds(bulk_delay);
    } else {
        core.complete(t, LIBUSB_TRANSFER_CANCELLED);
    }
    core.notify_all();
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_transfer_set_stream_id(struct libusb_transfer *transfer,
                                               uint32_t stream_id) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    nxsim::usb::priv_of(transfer).stream_id = stream_id;
}

uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(struct libusb_transfer *transfer) {
    Core &core = Core::get();
    std::lock_guard lock(core.mu);
    return nxsim::usb::priv_of(transfer).stream_id;
}

}  // extern "C"
