// The transport head of a camera session, and of one entry of a device list.
//
// The API layer allocates the whole session record (whose fields follow this
// head) and owns it; a transport only reads and writes the head.
#pragma once

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
};

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
