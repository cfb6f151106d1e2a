// Recording of replayable settings (see settings_record.h).
#include "api/settings_record.h"

#include <cstring>

#include "common/nx_log.h"

namespace nx {

namespace {

constexpr const char *kFn = "settings_record";

bool replayable(uint8_t id) {
    switch (id) {
        case NIVEX_PARAM_SENSOR_MODE:
        case NIVEX_PARAM_FRAME_RATE:
        case NIVEX_PARAM_INTG_TIME:
        case NIVEX_PARAM_DCS_CHECK:
            return true;
        default:
            return false;
    }
}

void log_lost() {
    NX_WRN(kFn, "[%s] no memory: a setting will not be re-applied after a reopen\n");
}

}  // namespace

void SettingsRecord::record_params(std::span<const ll_param_entry> entries) {
    std::lock_guard lock(mu_);
    try {
        for (const ll_param_entry &entry : entries) {
            if (replayable(entry.id)) params_[entry.id] = entry;
        }
    } catch (const std::exception &) {
        log_lost();
    }
}

void SettingsRecord::record_filter(int filter_id, bool enabled, const nivex_filter_args *arg,
                                   uint32_t arg_size) {
    FilterSwitch change{filter_id, enabled, arg != nullptr, {}, arg_size};
    // The caller may point at the one member the filter reads, not a whole union.
    const bool byte_arg =
        filter_id == NIVEX_FILTER_PIXEL_CALIB || filter_id == NIVEX_FILTER_DEPTH_SMOOTH;
    if (arg != nullptr) std::memcpy(&change.arg, arg, byte_arg ? 1 : sizeof change.arg);
    std::lock_guard lock(mu_);
    try {
        filters_[filter_id] = change;
    } catch (const std::exception &) {
        log_lost();
    }
}

template <typename Key, typename Value>
std::vector<Value> SettingsRecord::values_of(const std::map<Key, Value> &table) const {
    std::vector<Value> out;
    std::lock_guard lock(mu_);
    try {
        for (const auto &[key, value] : table)
            out.push_back(value);
    } catch (const std::exception &) {
        log_lost();
    }
    return out;
}

std::vector<ll_param_entry> SettingsRecord::params() const {
    return values_of(params_);
}

std::vector<FilterSwitch> SettingsRecord::filters() const {
    return values_of(filters_);
}

}  // namespace nx
