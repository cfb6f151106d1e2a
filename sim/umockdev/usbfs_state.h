// Internals of the usbfs stand-in: the URBs libusb submitted, the open files
// of the faked device nodes, one node per enumeration of a camera, and the
// lock that guards them together with the cameras.
//
// Three kinds of thread meet here: umockdev's worker thread answers libusb's
// ioctls (usbfs_ioctl.cpp), the bus thread moves stream bytes and lets time
// pass (usbfs_stream.cpp), and test threads act on the cameras. Each holds
// `mu` while it touches any of this. Changes to the testbed itself (devices
// appearing and vanishing) are made by the bus thread and test threads only,
// under `testbed_mu`, never while holding `mu`.
#pragma once

#include <umockdev.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/camera/sim_bus.h"
#include "sim/umockdev/ready_pipe.h"
#include "sim/umockdev/sysfs_record.h"

namespace nxsim::umock {

struct GObjectUnref {
    void operator()(void *object) const { g_object_unref(object); }
};
using IoctlDataRef = std::unique_ptr<UMockdevIoctlData, GObjectUnref>;

struct Client;
struct Node;
class BusState;

// One URB libusb submitted and has not reaped yet.
struct Urb {
    Client *client = nullptr;
    IoctlDataRef data;    // the struct usbdevfs_urb, fetched at submission
    IoctlDataRef buffer;  // its buffer; null when it has no bytes
    uint8_t type = 0;
    uint8_t endpoint = 0;
    int length = 0;
    int actual = 0;
    int status = 0;
    bool hung = false;  // the camera never answers; only a discard ends it
    uint32_t cancel_delay_ms = 0;
    std::optional<TimePoint> cancel_due;  // discarded; completes then
    int32_t timeout_after = -1;           // the time-out fault: the bytes it takes before it waits

    // The URB's address in libusb's memory: a discard names it so.
    unsigned long address() const { return data->client_addr; }
    std::span<uint8_t> bytes() const {
        return buffer ? std::span<uint8_t>(buffer->data, static_cast<size_t>(length))
                      : std::span<uint8_t>();
    }
    // Waits, with all the bytes it takes, for libusb to give up on it.
    bool waits_for_timeout() const { return timeout_after >= 0 && actual == timeout_after; }
};

// One open file of a device node: a libusb device handle.
struct Client {
    UMockdevIoctlClient *id = nullptr;
    Node *node = nullptr;
    std::vector<std::unique_ptr<Urb>> pending;  // submitted, not completed
    std::deque<std::unique_ptr<Urb>> reapable;  // completed, not reaped
    std::array<bool, kInterfaceCount> claimed{};
};

// One enumeration of a camera: a sysfs device with its device node.
struct Node {
    BusState *bus = nullptr;
    std::shared_ptr<CameraModel> camera;
    uint32_t generation = 0;
    UsbPlace place;
    std::unique_ptr<UMockdevIoctlBase, GObjectUnref> handler;
    ReadyPipe ready;
    bool in_testbed = false;  // its sysfs device and node exist
    bool gone = false;        // the camera left the bus, or came back as another node
    bool halted = false;      // the stream endpoint stalled and was not cleared yet
    std::vector<Client *> clients;
    std::deque<Urb *> stream;  // bulk URBs queued on the stream endpoint, in order
};

class BusState {
  public:
    // Lock order: testbed_mu, then mu.
    std::mutex testbed_mu;
    std::mutex mu;
    std::condition_variable wake;

    // Everything below is guarded by mu.
    SimBus bus;
    std::vector<std::unique_ptr<Node>> nodes;
    std::map<UMockdevIoctlClient *, std::unique_ptr<Client>> clients;
    bool kicked = false;  // something changed; the bus thread should look
    bool stopping = false;

    // Guarded by testbed_mu (and so is Node::in_testbed).
    UMockdevTestbed *testbed = nullptr;
    std::set<uint8_t> root_hubs;  // buses whose root hub is in the testbed
    std::string failure;          // the first device the testbed could not take

    // Under testbed_mu: puts `node` into the testbed; what failed, if anything.
    std::string add_device(Node &node);

    // Under mu. A completed URB waits to be reaped.
    void complete(Urb &urb, int status);
    // The node polls ready while one of its files has a URB to reap.
    void update_ready(Node &node);
    // Nodes of cameras that left the bus are gone (their URBs end with
    // ENODEV); cameras that (re)appeared get a node, not yet in the testbed.
    void sync_nodes();
    void kick();
    // The record of an open file, made at its first request.
    Client &client_of(UMockdevIoctlClient *id, Node &node);
    void drop_client(UMockdevIoctlClient *id);
    // Files libusb never closed stop being tracked.
    void forget_clients();

    // Under mu, on the bus thread (usbfs_stream.cpp): moves stream bytes into
    // queued URBs, ends discarded URBs whose time has come; when the next
    // look is due.
    void pass(TimePoint now);
    TimePoint next_wake(TimePoint now) const;

  private:
    void pump(Node &node, TimePoint now);
};

// Connects the handler of `node` to umockdev's signals (usbfs_ioctl.cpp).
void connect_handler(Node &node);

}  // namespace nxsim::umock
