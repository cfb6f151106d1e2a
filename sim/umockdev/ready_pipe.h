// The readiness signal of a faked usbfs device node.
//
// libusb waits for completed URBs by polling the device node for POLLOUT.
// umockdev's node is a plain file, which always polls ready, so libusb's
// event handling would spin on it. Here the node inside the testbed is
// replaced by a FIFO that is kept full (not writable) while no URB waits to
// be reaped and emptied (writable) while one does.
#pragma once

#include <string>

namespace nxsim::umock {

class ReadyPipe {
  public:
    ReadyPipe() = default;
    // Replaces the plain file at `path` (inside the testbed) by the FIFO,
    // which starts not ready. Returns what went wrong, empty on success.
    std::string replace_node(const std::string &path);
    ~ReadyPipe();
    ReadyPipe(const ReadyPipe &) = delete;
    ReadyPipe &operator=(const ReadyPipe &) = delete;

    void set_ready(bool ready);
    bool ready() const { return ready_; }

  private:
    int fd_ = -1;
    bool ready_ = true;
};

}  // namespace nxsim::umock
