#include "sim/umockdev/ready_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace nxsim::umock {
namespace {

// The smallest pipe the kernel gives: one page fills it.
constexpr int kPipeSize = 4096;

}  // namespace

std::string ReadyPipe::replace_node(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return "no device node at " + path + ": " + std::strerror(errno);
    // umockdev makes the node a plain file; anything else means its testbed
    // layout changed and this stand-in needs a look.
    if (!S_ISREG(st.st_mode)) return "the device node " + path + " is not a plain file";
    if (::unlink(path.c_str()) != 0 || ::mkfifo(path.c_str(), 0666) != 0)
        return "cannot make " + path + " a FIFO: " + std::strerror(errno);
    fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return "cannot open the FIFO " + path + ": " + std::strerror(errno);
    ::fcntl(fd_, F_SETPIPE_SZ, kPipeSize);
    set_ready(false);
    return {};
}

ReadyPipe::~ReadyPipe() {
    if (fd_ >= 0) ::close(fd_);
}

// Full: nobody polling for POLLOUT wakes. Empty: everybody does.
void ReadyPipe::set_ready(bool ready) {
    if (fd_ < 0 || ready == ready_) return;
    ready_ = ready;
    std::array<char, kPipeSize> bytes{};
    if (ready) {
        while (::read(fd_, bytes.data(), bytes.size()) > 0) {
        }
    } else {
        while (::write(fd_, bytes.data(), bytes.size()) > 0) {
        }
    }
}

}  // namespace nxsim::umock
