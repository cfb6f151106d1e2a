// The filter switches an application set on a device, as the switch calls
// left them, so that a recording can carry them and its replay set them
// again. Any thread; the log's mutex is a leaf.
#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <vector>

#include "api/recording_format.h"

namespace nx {

class FilterLog {
  public:
    static constexpr int kFilters = NIVEX_FILTER_HDR + 1;

    void note(int filter_id, bool on, const nivex_filter_args *arg);
    // The switches set so far, in filter order.
    std::vector<rec::FilterSetting> settings() const;

  private:
    mutable std::mutex mu_;
    std::array<std::optional<rec::FilterSetting>, kFilters> set_{};
};

}  // namespace nx
