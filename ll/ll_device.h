// The transport head of a camera session, and of one entry of a device list.
//
// The API layer allocates the whole session record (whose fields follow this
// head) and owns it; a transport only reads and writes the head.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "nivex.h"

struct ll_ops;

struct ll_device {
    void *priv = nullptr;  // the transport's private record, NULL while closed
    // Identity block, copied to and from nivex_device as one 44-byte run.
    int32_t dev_fd = 0;  // platform descriptor; 0 for every USB camera
    uint8_t usb_bus = 0;
    uint8_t usb_port = 0;
    uint8_t usb_addr = 0;
    uint8_t usb_speed = 0;  // libusb speed code
    uint8_t reserved_ident[36] = {};
    const ll_ops *ops = nullptr;  // the serving transport, set by a successful open
    uint8_t ident_valid = 0;      // 1: usb_bus/usb_port name one camera
    // Set by the session's owner to make every command exchange fail at once
    // (one in flight is cancelled) until it is cleared: a close need not wait
    // out a long register read or a camera that keeps answering busy.
    // Written and read through ll_set_cmd_abort / ll_cmd_abort only.
    uint8_t cmd_abort = 0;
    // Set by the transport when libusb answered "no device" (the camera left
    // the bus: unplug, power loss, re-enumeration); cleared by a successful
    // open. Written and read through ll_set_gone / ll_gone only.
    uint8_t gone = 0;
};

inline void ll_set_cmd_abort(ll_device &ll, bool abort) {
    std::atomic_ref<uint8_t>(ll.cmd_abort).store(abort ? 1 : 0, std::memory_order_release);
}

inline bool ll_cmd_abort(const ll_device &ll) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t &>(ll.cmd_abort))
               .load(std::memory_order_acquire) != 0;
}

inline void ll_set_gone(ll_device &ll, bool gone) {
    std::atomic_ref<uint8_t>(ll.gone).store(gone ? 1 : 0, std::memory_order_release);
}

inline bool ll_gone(const ll_device &ll) {
    return std::atomic_ref<uint8_t>(const_cast<uint8_t &>(ll.gone))
               .load(std::memory_order_acquire) != 0;
}

namespace nx {

inline constexpr size_t kIdentBlockSize = NIVEX_IDENT_BLOCK_SIZE;

inline void *ident_block(ll_device &ll) {
    return &ll.dev_fd;
}
inline void *ident_block(nivex_device &dev) {
    return &dev.dev_fd;
}

static_assert(offsetof(ll_device, ops) >= offsetof(ll_device, dev_fd) + kIdentBlockSize);

}  // namespace nx
