#include "api/filter_log.h"

#include <cstring>

namespace nx {

void FilterLog::note(int filter_id, bool on, const nivex_filter_args *arg) {
    if (filter_id < 0 || filter_id >= kFilters) return;
    rec::FilterSetting setting{static_cast<uint8_t>(filter_id), on, 0};
    if (arg != nullptr) std::memcpy(&setting.arg, arg, sizeof setting.arg);
    std::lock_guard lock(mu_);
    set_[static_cast<size_t>(filter_id)] = setting;
}

std::vector<rec::FilterSetting> FilterLog::settings() const {
    std::vector<rec::FilterSetting> out;
    std::lock_guard lock(mu_);
    for (const auto &setting : set_)
        if (setting) out.push_back(*setting);
    return out;
}

}  // namespace nx
