// The private record of an open USB camera and the bookkeeping of the
// transfers libusb holds for it.
//
// Two threads touch the record: the application thread that opens, commands
// and closes the camera, and the camera's event thread on which libusb
// completes every transfer. Everything both of them write is atomic; the rest
// is written before the event thread starts or before a transfer is submitted
// (libusb's submit and completion order those accesses).
#pragma once

#include <libusb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>

#include "ll/usb/usb_ll.h"

inline constexpr int USB_TRANS_NUM = 16;
inline constexpr int USB_TRANS_SIZE = 153600;
inline constexpr long EVT_TIMEOUT_US = 200000;
inline constexpr unsigned char USB_EP_STREAM = 0x81;
inline constexpr unsigned USB_TRANS_TIMEOUT_MS = 6000;

// How long close (and a capture start) waits for libusb to hand back the
// transfers it still holds before giving up on them.
inline constexpr std::chrono::milliseconds kTransferDrainTimeout{2000};

struct TransferDeleter {
    void operator()(libusb_transfer *transfer) const { libusb_free_transfer(transfer); }
};
using TransferPtr = std::unique_ptr<libusb_transfer, TransferDeleter>;

struct usb_ll_dev_priv {
    libusb_context *ctx = nullptr;
    libusb_device_handle *handle = nullptr;
    // Capture transfers and their receive buffers, reused by every capture.
    std::array<TransferPtr, USB_TRANS_NUM> trans;
    std::array<std::unique_ptr<uint8_t[]>, USB_TRANS_NUM> trans_buf;
    std::atomic<uint8_t> cap_abort{0};
    // Set by capture start before its transfers are submitted; atomic because
    // a transfer of an earlier capture that libusb never returned may still
    // complete while a new capture starts.
    std::atomic<ll_cap_event_cb> cap_cb{nullptr};
    std::atomic<void *> cap_cb_arg{nullptr};
    std::thread evt_thread;
    // libusb reads this through a plain int pointer as the "completed" flag of
    // every event wait; our own accesses go through evt_exit_flag().
    alignas(std::atomic_ref<int>::required_alignment) int evt_exit = 0;
    std::atomic<uint8_t> evt_running{0};
    // Set as the event thread's last act: from then on nobody handles events.
    std::atomic<bool> evt_ended{false};

    // Capture slot i is submitted and its completion not yet handled.
    std::array<std::atomic<bool>, USB_TRANS_NUM> trans_busy{};
    // Status of the last completion of each capture slot (for messages).
    std::array<std::atomic<int>, USB_TRANS_NUM> trans_status{};
    // Command transfers submitted whose completion has not run yet,
    // including those a waiter gave up on.
    std::atomic<int> cmd_in_flight{0};

    std::atomic_ref<int> evt_exit_flag() { return std::atomic_ref<int>(evt_exit); }
};

inline usb_ll_dev_priv *usb_priv(const ll_device *ll) {
    return ll != nullptr ? static_cast<usb_ll_dev_priv *>(ll->priv) : nullptr;
}

// Makes `ll` name this camera: bus, port, address and speed from libusb.
inline void usb_ll_take_identity(ll_device &ll, libusb_device *dev) {
    ll.ident_valid = 1;
    ll.dev_fd = 0;
    ll.usb_port = libusb_get_port_number(dev);
    ll.usb_bus = libusb_get_bus_number(dev);
    ll.usb_addr = libusb_get_device_address(dev);
    ll.usb_speed = static_cast<uint8_t>(libusb_get_device_speed(dev));
}

// Allocates the record with its 16 transfers and buffers into ll->priv.
// False (logged, nothing left allocated) when memory runs out.
bool usb_ll_priv_alloc(ll_device *ll);
// Frees the record and clears ll->priv. Transfers libusb still holds are
// leaked on purpose: freeing them would hand libusb freed memory.
void usb_ll_priv_free(ll_device *ll);

// Starts the event thread of an open camera (the signals an application may
// catch are blocked in it). Throws std::system_error when no thread starts.
std::thread usb_ll_start_evt_thread(ll_device *ll);
// Event thread body, and whether the calling thread is priv's event thread.
void usb_ll_evt_thread(ll_device *ll);
bool usb_ll_on_evt_thread(const usb_ll_dev_priv *priv);

// Transfers libusb still holds for this camera (capture and command).
int usb_ll_transfers_outstanding(const usb_ll_dev_priv *priv);
// Cancels every capture transfer that is in flight, logging each slot.
void usb_ll_cap_cancel_all(usb_ll_dev_priv *priv, const char *fn);
// Waits until libusb has handed back every transfer, at most `limit`. Events
// keep being handled meanwhile: by the event thread, or by the caller once
// the event thread has ended. True when nothing is outstanding any more.
bool usb_ll_wait_transfers_idle(usb_ll_dev_priv *priv, std::chrono::milliseconds limit,
                                bool capture_only);
