#include "sim/umockdev/usbfs_bus.h"

#include <dlfcn.h>

#include <stdexcept>

#include "sim/umockdev/usbfs_state.h"

namespace nxsim::umock {
namespace {

constexpr const char *kPreloadLibrary = "libumockdev-preload.so.0";

// Takes the message out of a GError and frees it.
std::string message_of(GError *error) {
    std::string text = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

std::string add_record(UMockdevTestbed *testbed, const std::string &record) {
    GError *error = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) return {};
    return "umockdev refused a device: " + message_of(error);
}

}  // namespace

std::string unavailable_reason() {
#if defined(__SANITIZE_THREAD__)
    // umockdev and GLib are not instrumented: the locks their worker thread
    // shares with the testbed's owner are invisible to ThreadSanitizer, which
    // then reports races inside umockdev.
    return "ThreadSanitizer cannot follow umockdev's uninstrumented worker thread";
#endif
    // The preload library fakes /sys and /dev for the whole process; without
    // it libusb would see the real (here: no) USB devices.
    void *preload = dlopen(kPreloadLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (preload == nullptr) {
        return std::string(kPreloadLibrary) +
               " is not loaded: run the program under umockdev-wrapper";
    }
    dlclose(preload);
    return {};
}

UsbfsBus::UsbfsBus() : state_(std::make_unique<BusState>()) {
    if (std::string why = unavailable_reason(); !why.empty()) throw std::runtime_error(why);
    state_->testbed = umockdev_testbed_new();
    if (state_->testbed == nullptr) throw std::runtime_error("umockdev could not make a testbed");
    thread_ = std::thread([this] { run(); });
}

UsbfsBus::~UsbfsBus() {
    {
        std::lock_guard lock(state_->mu);
        state_->stopping = true;
        state_->wake.notify_all();
    }
    thread_.join();
    std::lock_guard testbed_lock(state_->testbed_mu);
    {
        std::lock_guard lock(state_->mu);
        state_->forget_clients();
    }
    for (auto &node : state_->nodes) {
        if (!node->handler) continue;
        // A file still open gets no more answers from a node that is going.
        g_signal_handlers_disconnect_matched(node->handler.get(), G_SIGNAL_MATCH_DATA, 0, 0,
                                             nullptr, nullptr, node.get());
    }
    g_object_unref(state_->testbed);
}

std::mutex &UsbfsBus::mutex() {
    return state_->mu;
}

SimBus &UsbfsBus::sim_bus() {
    return state_->bus;
}

std::string UsbfsBus::root_dir() const {
    std::lock_guard lock(state_->testbed_mu);
    gchar *root = umockdev_testbed_get_root_dir(state_->testbed);
    std::string path = root;
    g_free(root);
    return path;
}

std::string UsbfsBus::failure() const {
    std::lock_guard lock(state_->testbed_mu);
    return state_->failure;
}

size_t UsbfsBus::open_files() const {
    std::lock_guard lock(state_->mu);
    return state_->clients.size();
}

size_t UsbfsBus::pending_urbs() const {
    std::lock_guard lock(state_->mu);
    size_t count = 0;
    for (const auto &[id, client] : state_->clients)
        count += client->pending.size() + client->reapable.size();
    return count;
}

UsbfsCamera UsbfsBus::add_camera(const CameraConfig &config) {
    auto model = act([&](SimBus &bus) { return bus.add_camera(config); });
    if (std::string why = failure(); !why.empty()) throw std::runtime_error(why);
    return UsbfsCamera(*this, std::move(model));
}

void UsbfsBus::catch_up() {
    BusState &s = *state_;
    std::lock_guard testbed_lock(s.testbed_mu);
    std::vector<Node *> leaving, arriving;
    {
        std::lock_guard lock(s.mu);
        s.bus.refresh(Clock::now());
        s.sync_nodes();
        for (auto &node : s.nodes) {
            if (node->gone && node->in_testbed) leaving.push_back(node.get());
            if (!node->gone && !node->in_testbed) arriving.push_back(node.get());
        }
    }
    // A camera that re-enumerates keeps its sysfs path: the old device goes first.
    for (Node *node : leaving) {
        umockdev_testbed_remove_device(s.testbed, ("/sys" + sysfs_path(node->place)).c_str());
        node->in_testbed = false;
    }
    for (Node *node : arriving) {
        std::string error = s.add_device(*node);
        if (!error.empty() && s.failure.empty()) s.failure = error;
    }
}

// The camera's sysfs device, its device node made a FIFO, and the handler
// that answers its usbfs requests.
std::string BusState::add_device(Node &node) {
    if (root_hubs.insert(node.place.bus).second) {
        if (std::string error = add_record(testbed, root_hub_record(node.place.bus));
            !error.empty())
            return error;
    }
    if (std::string error = add_record(testbed, camera_record(node.place)); !error.empty())
        return error;
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    const std::string node_path = device_node(node.place);
    std::string error = node.ready.replace_node(root + node_path);
    g_free(root);
    if (!error.empty()) return "umockdev's testbed layout is not the expected one: " + error;
    connect_handler(node);
    GError *gerror = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed, node_path.c_str(), node.handler.get(), &gerror))
        return "umockdev cannot attach the usbfs handler: " + message_of(gerror);
    node.in_testbed = true;
    return {};
}

void UsbfsBus::run() {
    BusState &s = *state_;
    for (;;) {
        catch_up();
        std::unique_lock lock(s.mu);
        if (s.stopping) return;
        s.pass(Clock::now());
        if (s.kicked) {
            s.kicked = false;
            continue;
        }
        s.wake.wait_until(lock, s.next_wake(Clock::now()), [&] { return s.kicked || s.stopping; });
        s.kicked = false;
    }
}

void UsbfsCamera::unplug() const {
    act([](CameraModel &m) {
        if (!m.attached() && !m.reattach_at()) return;
        m.faults().count_unplug();
        m.detach(std::nullopt);
    });
}

void UsbfsCamera::plug() const {
    bus_->act([this](SimBus &bus) {
        if (!model_->attached()) bus.plug(*model_);
    });
}

}  // namespace nxsim::umock
