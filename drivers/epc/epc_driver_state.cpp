#include "drivers/epc/epc_driver_state.h"

#include <map>

namespace nx::epc {
namespace {

// Owner of every state while its device is open; a leaf lock.
struct StateRegistry {
    std::mutex mu;
    std::map<const nivex_device *, std::shared_ptr<epc_driver_state>> states;
};

StateRegistry &registry() {
    static StateRegistry instance;
    return instance;
}

}  // namespace

std::unique_ptr<WorkImages> WorkPool::take(size_t n) {
    std::unique_ptr<WorkImages> images;
    {
        std::lock_guard lock(mu_);
        if (!free_.empty()) {
            images = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!images) images = std::make_unique<WorkImages>();
    // Never shrinks: a set keeps the room of the largest frame it served.
    if (images->a.size() < n) images->a.resize(n);
    if (images->b.size() < n) images->b.resize(n);
    return images;
}

void WorkPool::give(std::unique_ptr<WorkImages> images) {
    std::lock_guard lock(mu_);
    free_.push_back(std::move(images));
}

epc_driver_state::~epc_driver_state() {
    nx_calib_len_uninit_map(&lens_map);
}

DistanceConstants epc_driver_state::constants() {
    std::lock_guard lock(constants_mu_);
    return constants_;
}

void epc_driver_state::set_constants(DistanceConstants c) {
    std::lock_guard lock(constants_mu_);
    constants_ = std::move(c);
}

epc_driver_state *state_of(const chip_driver *drv) {
    return drv == nullptr ? nullptr : static_cast<epc_driver_state *>(drv->priv);
}

void register_state(const nivex_device *dev, std::shared_ptr<epc_driver_state> state) {
    StateRegistry &r = registry();
    std::lock_guard lock(r.mu);
    r.states[dev] = std::move(state);
}

void unregister_state(const nivex_device *dev) {
    std::shared_ptr<epc_driver_state> last;
    StateRegistry &r = registry();
    {
        std::lock_guard lock(r.mu);
        auto it = r.states.find(dev);
        if (it == r.states.end()) return;
        last = std::move(it->second);
        r.states.erase(it);
    }
    // Released here, outside the lock.
}

std::shared_ptr<epc_driver_state> state_of_device(const nivex_device *dev) {
    StateRegistry &r = registry();
    std::lock_guard lock(r.mu);
    auto it = r.states.find(dev);
    return it == r.states.end() ? nullptr : it->second;
}

}  // namespace nx::epc
