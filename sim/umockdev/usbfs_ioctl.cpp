// The usbfs requests libusb makes on a camera's device node, answered from
// the camera model the way the kernel's usbfs driver would answer them.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "sim/umockdev/usbfs_state.h"

namespace nxsim::umock {
namespace {

// What the faked kernel offers, as on a host controller with scatter-gather:
// libusb then sends each bulk transfer as one URB.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_BULK_SCATTER_GATHER;

struct Reply {
    long result = 0;
    int error = 0;
    // A reaped URB is synced back to libusb when the ioctl completes; it
    // lives until then.
    std::unique_ptr<Urb> reaped;
    // A submitted bulk URB joins the stream only once its submission has been
    // synced back, so that the bus thread never fills a buffer umockdev reads.
    Urb *queued = nullptr;
};

Reply fail(int error) {
    return {-1, error, nullptr};
}

// The memory the ioctl argument points to, fetched from libusb.
IoctlDataRef fetch(UMockdevIoctlData *arg, size_t length) {
    return IoctlDataRef(umockdev_ioctl_data_resolve(arg, 0, length, nullptr));
}

template <typename T>
std::optional<T> fetch_value(UMockdevIoctlData *arg) {
    IoctlDataRef data = fetch(arg, sizeof(T));
    if (!data) return std::nullopt;
    T value;
    std::memcpy(&value, data->data, sizeof value);
    return value;
}

class Request {
  public:
    Request(BusState &bus, Client &client, UMockdevIoctlData *arg)
        : bus_(bus), client_(client), node_(*client.node), arg_(arg) {}

    Reply answer(unsigned long request);

  private:
    Reply capabilities();
    Reply set_configuration();
    Reply claim(unsigned interface_number, int missing_error);
    Reply release();
    Reply disconnect_claim();
    Reply driver_ioctl();
    Reply clear_halt();
    Reply submit();
    Reply submit_control(std::unique_ptr<Urb> urb);
    Reply submit_bulk(std::unique_ptr<Urb> urb);
    Reply discard();
    Reply reap();

    bool claimed_by_other(unsigned interface_number) const;
    bool any_claim() const;

    BusState &bus_;
    Client &client_;
    Node &node_;
    UMockdevIoctlData *arg_;
};

Reply Request::answer(unsigned long request) {
    switch (request) {
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap();
        case USBDEVFS_DISCARDURB:
            return discard();
        default:
            break;
    }
    // Every other request needs the device on the bus.
    if (node_.gone) return fail(ENODEV);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            return capabilities();
        case USBDEVFS_SETCONFIGURATION:
            return set_configuration();
        case USBDEVFS_CLAIMINTERFACE: {
            auto number = fetch_value<unsigned>(arg_);
            return number ? claim(*number, ENOENT) : fail(EFAULT);
        }
        case USBDEVFS_DISCONNECT_CLAIM:
            return disconnect_claim();
        case USBDEVFS_RELEASEINTERFACE:
            return release();
        case USBDEVFS_IOCTL:
            return driver_ioctl();
        case USBDEVFS_GETDRIVER:
            return fail(ENODATA);  // no kernel driver is bound to the camera
        case USBDEVFS_CLEAR_HALT:
            return clear_halt();
        case USBDEVFS_SUBMITURB:
            return submit();
        default:
            return fail(ENOTTY);
    }
}

Reply Request::capabilities() {
    IoctlDataRef data = fetch(arg_, sizeof kCapabilities);
    if (!data) return fail(EFAULT);
    std::memcpy(data->data, &kCapabilities, sizeof kCapabilities);
    return {};
}

bool Request::claimed_by_other(unsigned interface_number) const {
    return std::any_of(node_.clients.begin(), node_.clients.end(), [&](const Client *other) {
        return other != &client_ && other->claimed[interface_number];
    });
}

bool Request::any_claim() const {
    return std::any_of(node_.clients.begin(), node_.clients.end(), [](const Client *c) {
        return std::find(c->claimed.begin(), c->claimed.end(), true) != c->claimed.end();
    });
}

// Like the kernel: no configuration change while any interface is claimed.
Reply Request::set_configuration() {
    auto configuration = fetch_value<int>(arg_);
    if (!configuration) return fail(EFAULT);
    if (*configuration != kConfiguration && *configuration != -1 && *configuration != 0)
        return fail(EINVAL);
    return any_claim() ? fail(EBUSY) : Reply{};
}

Reply Request::claim(unsigned interface_number, int missing_error) {
    if (interface_number >= kInterfaceCount) return fail(missing_error);
    if (client_.claimed[interface_number]) return {};
    if (claimed_by_other(interface_number) ||
        node_.camera->refuses_claim(static_cast<uint8_t>(interface_number)))
        return fail(EBUSY);
    client_.claimed[interface_number] = true;
    return {};
}

Reply Request::disconnect_claim() {
    IoctlDataRef data = fetch(arg_, sizeof(usbdevfs_disconnect_claim));
    if (!data) return fail(EFAULT);
    usbdevfs_disconnect_claim request;
    std::memcpy(&request, data->data, sizeof request);
    return claim(request.interface, EINVAL);
}

Reply Request::release() {
    auto number = fetch_value<unsigned>(arg_);
    if (!number) return fail(EFAULT);
    if (*number >= kInterfaceCount) return fail(ENOENT);
    if (!client_.claimed[*number]) return fail(EINVAL);
    client_.claimed[*number] = false;
    return {};
}

// Binding and unbinding kernel drivers: the camera has none to bind.
Reply Request::driver_ioctl() {
    auto request = fetch_value<usbdevfs_ioctl>(arg_);
    if (!request) return fail(EFAULT);
    return static_cast<unsigned long>(request->ioctl_code) == USBDEVFS_DISCONNECT ? fail(ENODATA)
                                                                                  : Reply{};
}

Reply Request::clear_halt() {
    auto endpoint = fetch_value<unsigned>(arg_);
    if (!endpoint) return fail(EFAULT);
    const auto address = static_cast<uint8_t>(*endpoint);
    if (!node_.camera->has_endpoint(address)) return fail(ENOENT);
    node_.camera->clear_halt(address);
    node_.halted = false;
    bus_.kick();
    return {};
}

Reply Request::submit() {
    auto urb = std::make_unique<Urb>();
    urb->client = &client_;
    urb->data = fetch(arg_, sizeof(usbdevfs_urb));
    if (!urb->data) return fail(EFAULT);
    usbdevfs_urb header;
    std::memcpy(&header, urb->data->data, sizeof header);
    if (header.buffer_length < 0) return fail(EINVAL);
    urb->type = header.type;
    urb->endpoint = header.endpoint;
    urb->length = header.buffer_length;
    if (urb->length > 0) {
        urb->buffer.reset(umockdev_ioctl_data_resolve(urb->data.get(),
                                                      offsetof(usbdevfs_urb, buffer),
                                                      static_cast<size_t>(urb->length), nullptr));
        if (!urb->buffer) return fail(EFAULT);
    }
    switch (urb->type) {
        case USBDEVFS_URB_TYPE_CONTROL:
            return submit_control(std::move(urb));
        case USBDEVFS_URB_TYPE_BULK:
            return submit_bulk(std::move(urb));
        default:
            return fail(EINVAL);
    }
}

// The camera answers a control request at once, refuses it with a stall, or
// never answers it.
Reply Request::submit_control(std::unique_ptr<Urb> urb) {
    if (urb->length < static_cast<int>(kSetupSize)) return fail(EINVAL);
    std::span<uint8_t> bytes = urb->bytes();
    const SetupPacket setup = SetupPacket::parse(bytes.first<kSetupSize>());
    if (setup.length > bytes.size() - kSetupSize) return fail(EINVAL);
    std::span<const uint8_t> data_out;
    if (!setup.is_in()) data_out = bytes.subspan(kSetupSize, setup.length);
    const ControlOutcome outcome = node_.camera->control(setup, data_out, Clock::now());
    Urb &submitted = *urb;
    client_.pending.push_back(std::move(urb));
    switch (outcome.end) {
        case ControlEnd::Completed:
            if (setup.is_in()) {
                std::copy(outcome.data_in.begin(), outcome.data_in.end(),
                          bytes.begin() + kSetupSize);
                submitted.actual = static_cast<int>(outcome.data_in.size());
            } else {
                submitted.actual = setup.length;
            }
            bus_.complete(submitted, 0);
            break;
        case ControlEnd::Stall:
            bus_.complete(submitted, -EPIPE);
            break;
        case ControlEnd::Hang:
            submitted.hung = true;
            submitted.cancel_delay_ms = outcome.cancel_delay_ms;
            break;
    }
    // A reset may have taken the camera off the bus once it answered; a
    // capture may have started or stopped.
    if (!node_.camera->attached()) bus_.sync_nodes();
    bus_.kick();
    return {};
}

Reply Request::submit_bulk(std::unique_ptr<Urb> urb) {
    if (!node_.camera->has_endpoint(urb->endpoint)) return fail(ENOENT);
    const bool mine =
        std::find(client_.claimed.begin(), client_.claimed.end(), true) != client_.claimed.end();
    if (!mine && any_claim()) return fail(EBUSY);
    Urb *queued = urb.get();
    client_.pending.push_back(std::move(urb));
    return {0, 0, nullptr, queued};
}

Reply Request::discard() {
    if (arg_->data_len < static_cast<int>(sizeof(unsigned long))) return fail(EINVAL);
    unsigned long address;
    std::memcpy(&address, arg_->data, sizeof address);
    auto it = std::find_if(client_.pending.begin(), client_.pending.end(),
                           [address](const auto &urb) { return urb->address() == address; });
    if (it == client_.pending.end()) return fail(EINVAL);  // completed meanwhile
    Urb &urb = **it;
    if (urb.cancel_due) return {};
    std::erase(node_.stream, &urb);
    if (urb.hung && urb.cancel_delay_ms > 0) {
        urb.cancel_due = Clock::now() + std::chrono::milliseconds(urb.cancel_delay_ms);
        bus_.kick();
    } else {
        bus_.complete(urb, -ENOENT);
    }
    return {};
}

// Hands the oldest completed URB back: its address goes where the argument
// points.
Reply Request::reap() {
    if (client_.reapable.empty()) return fail(node_.gone ? ENODEV : EAGAIN);
    IoctlDataRef slot = fetch(arg_, sizeof(void *));
    if (!slot) return fail(EFAULT);
    std::unique_ptr<Urb> urb = std::move(client_.reapable.front());
    client_.reapable.pop_front();
    auto *header = reinterpret_cast<usbdevfs_urb *>(urb->data->data);
    header->status = urb->status;
    header->actual_length = urb->actual;
    umockdev_ioctl_data_set_ptr(slot.get(), 0, urb->data.get());
    bus_.update_ready(node_);
    return {0, 0, std::move(urb)};
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *id, gpointer user_data) {
    Node &node = *static_cast<Node *>(user_data);
    BusState &bus = *node.bus;
    Reply reply;
    {
        std::lock_guard lock(bus.mu);
        Request request(bus, bus.client_of(id, node), umockdev_ioctl_client_get_arg(id));
        reply = request.answer(umockdev_ioctl_client_get_request(id));
    }
    umockdev_ioctl_client_complete(id, reply.result, reply.error);
    if (reply.queued != nullptr) {
        // Requests and closes of a file are handled in turn on this thread,
        // so the URB is still there; an unplug may have ended it meanwhile.
        std::lock_guard lock(bus.mu);
        const auto &pending = reply.queued->client->pending;
        const bool still_pending =
            std::any_of(pending.begin(), pending.end(),
                        [&](const auto &urb) { return urb.get() == reply.queued; });
        if (still_pending && !node.gone) node.stream.push_back(reply.queued);
        bus.kick();
    }
    return TRUE;
}

}  // namespace

void connect_handler(Node &node) {
    node.handler.reset(umockdev_ioctl_base_new());
    g_signal_connect_data(node.handler.get(), "handle-ioctl",
                          reinterpret_cast<GCallback>(&on_ioctl), &node, nullptr, GConnectFlags{});
}

}  // namespace nxsim::umock
