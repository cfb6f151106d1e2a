#include "sim/umockdev/usbfs_state.h"

#include <algorithm>
#include <cerrno>

namespace nxsim::umock {

void BusState::complete(Urb &urb, int status) {
    Client &client = *urb.client;
    auto it = std::find_if(client.pending.begin(), client.pending.end(),
                           [&urb](const auto &p) { return p.get() == &urb; });
    if (it == client.pending.end()) return;
    urb.status = status;
    urb.cancel_due.reset();
    std::erase(client.node->stream, &urb);
    client.reapable.push_back(std::move(*it));
    client.pending.erase(it);
    update_ready(*client.node);
}

void BusState::update_ready(Node &node) {
    const bool ready = std::any_of(node.clients.begin(), node.clients.end(),
                                   [](const Client *c) { return !c->reapable.empty(); });
    node.ready.set_ready(ready);
}

void BusState::kick() {
    kicked = true;
    wake.notify_all();
}

void BusState::sync_nodes() {
    for (auto &node : nodes) {
        const CameraModel &cam = *node->camera;
        if (node->gone || (cam.attached() && cam.generation() == node->generation)) continue;
        // Unplugged: the kernel ends every URB in flight.
        node->gone = true;
        node->halted = false;
        node->stream.clear();
        for (Client *client : node->clients) {
            while (!client->pending.empty())
                complete(*client->pending.front(), -ENODEV);
        }
        kick();
    }
    for (const auto &cam : bus.cameras()) {
        if (!cam->attached()) continue;
        const bool known = std::any_of(nodes.begin(), nodes.end(), [&](const auto &node) {
            return node->camera == cam && node->generation == cam->generation();
        });
        if (known) continue;
        auto node = std::make_unique<Node>();
        node->bus = this;
        node->camera = cam;
        node->generation = cam->generation();
        node->place = {cam->bus(), cam->port(), cam->address(), cam->speed()};
        nodes.push_back(std::move(node));
        kick();
    }
}

namespace {

// umockdev lets go of a client when libusb closes the file; the weak
// reference tells.
void on_client_finalized(gpointer node, GObject *client) {
    BusState &bus = *static_cast<Node *>(node)->bus;
    std::lock_guard lock(bus.mu);
    bus.drop_client(reinterpret_cast<UMockdevIoctlClient *>(client));
}

}  // namespace

Client &BusState::client_of(UMockdevIoctlClient *id, Node &node) {
    auto &client = clients[id];
    if (!client) {
        client = std::make_unique<Client>();
        client->id = id;
        client->node = &node;
        node.clients.push_back(client.get());
        g_object_weak_ref(G_OBJECT(id), &on_client_finalized, &node);
    }
    return *client;
}

void BusState::forget_clients() {
    for (auto &[id, client] : clients)
        g_object_weak_unref(G_OBJECT(id), &on_client_finalized, client->node);
    clients.clear();
}

// Closing the file gives up its interfaces and every URB it still had.
void BusState::drop_client(UMockdevIoctlClient *id) {
    auto it = clients.find(id);
    if (it == clients.end()) return;
    Client &client = *it->second;
    Node &node = *client.node;
    for (const auto &urb : client.pending)
        std::erase(node.stream, urb.get());
    std::erase(node.clients, &client);
    clients.erase(it);
    update_ready(node);
    kick();
}

}  // namespace nxsim::umock
