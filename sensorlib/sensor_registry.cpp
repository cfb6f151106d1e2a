#include "sensorlib/sensor_registry.h"

#include <map>
#include <mutex>
#include <new>

namespace nx::sensor {
namespace {

// A leaf lock: held only to look up or change bindings, never while a record
// works.
struct Registry {
    std::mutex mu;
    std::map<const nivex_device *, ModelRef> bound;
    ModelRef current = std::make_shared<SensorModel>();
    nivex_device *current_dev = nullptr;
};

Registry &registry() {
    static Registry instance;
    return instance;
}

}  // namespace

ModelRef current_model() {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    return r.current;
}

nivex_device *current_device() {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    return r.current_dev;
}

ModelRef model_of(const nivex_device *dev) {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    auto it = r.bound.find(dev);
    return it == r.bound.end() ? nullptr : it->second;
}

ModelRef bind_device(nivex_device *dev) {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    ModelRef record;
    if (auto it = r.bound.find(dev); it != r.bound.end()) {
        record = it->second;
    } else if (r.current_dev == nullptr &&
               (r.current->last_device() == nullptr || r.current->last_device() == dev)) {
        record = r.current;
    } else {
        try {
            record = std::make_shared<SensorModel>();
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    try {
        r.bound[dev] = record;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    record->attach(dev);
    r.current = record;
    r.current_dev = dev;
    return record;
}

void unbind_device(const nivex_device *dev) {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    auto it = r.bound.find(dev);
    if (it != r.bound.end()) {
        it->second->attach(nullptr);
        r.bound.erase(it);
    }
    if (r.current_dev == dev) r.current_dev = nullptr;
}

void reset_bindings() {
    Registry &r = registry();
    ModelRef fresh = std::make_shared<SensorModel>();
    std::lock_guard lock(r.mu);
    for (auto &[dev, record] : r.bound)
        record->attach(nullptr);
    r.bound.clear();
    r.current = std::move(fresh);
    r.current_dev = nullptr;
}

}  // namespace nx::sensor
