// Library start/end for USB and the libusb verbosity setting.
#include <array>
#include <atomic>

#include "ll/usb/usb_ll.h"

namespace {

// Library log level (0 trace .. 4 error, 5 off) to libusb verbosity
// (4 debug .. 1 error, 0 none).
constexpr std::array<int, 6> kVerbosityByLevel = {4, 4, 3, 2, 1, 0};

std::atomic<int> g_usb_debug_level{0};

}  // namespace

// Every USB context is created by an open or a listing and released by it,
// so there is nothing to set up or tear down library-wide.
bool usb_ll_init() {
    return true;
}

void usb_ll_uninit() {}

void usb_ll_set_debug(uint32_t level) {
    int verbosity = level < kVerbosityByLevel.size() ? kVerbosityByLevel[level] : 0;
    g_usb_debug_level.store(verbosity, std::memory_order_relaxed);
}

int usb_ll_debug_level() {
    return g_usb_debug_level.load(std::memory_order_relaxed);
}
