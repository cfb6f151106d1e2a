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

std::vector<ll_param_entry> SettingsRecord::params() const {
    std::vector<ll_param_entry> out;
    std::lock_guard lock(mu_);
    try {
        for (const auto &[id, entry] : params_)
            out.push_back(entry);
    } catch (const std::exception &) {
        log_lost();
    }
    return out;
}

std::vector<FilterSwitch> SettingsRecord::filters() const {
    std::vector<FilterSwitch> out;
    std::lock_guard lock(mu_);
    try {
        for (const auto &[id, change] : filters_)
            out.push_back(change);
    } catch (const std::exception &) {
        log_lost();
    }
    return out;
}

}  // namespace nx
