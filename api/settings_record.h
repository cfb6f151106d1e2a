// The settings an application made on a device through the public setters,
// kept so that they can be made again on the camera after it was reopened
// (a camera that lost power has forgotten them).
//
// Kept: the operating parameters a camera does not store (sensor mode, frame
// rate, integration time, DCS check; the last value of each) and the filter
// switches (the last switch of each filter, with its argument). Parameters
// the camera stores itself (texts, identity data) and transient modes (the
// data-upload mode) are not replayed. Any thread; the mutex is a leaf.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include "ll/ll_ops.h"
#include "nivex.h"

namespace nx {

struct FilterSwitch {
    int filter_id = 0;
    bool enabled = false;
    bool has_arg = false;
    nivex_filter_args arg{};
    uint32_t arg_size = 0;
};

class SettingsRecord {
  public:
    // Parameters the camera accepted.
    void record_params(std::span<const ll_param_entry> entries);
    // A filter switch the driver accepted (arg NULL: none).
    void record_filter(int filter_id, bool enabled, const nivex_filter_args *arg,
                       uint32_t arg_size);
    // What to replay, parameters in id order.
    std::vector<ll_param_entry> params() const;
    std::vector<FilterSwitch> filters() const;

  private:
    // The table's values, copied under the lock.
    template <typename Key, typename Value>
    std::vector<Value> values_of(const std::map<Key, Value> &table) const;

    mutable std::mutex mu_;
    std::map<uint8_t, ll_param_entry> params_;
    std::map<int, FilterSwitch> filters_;
};

}  // namespace nx
