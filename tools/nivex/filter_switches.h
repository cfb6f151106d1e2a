// The driver's depth filters as capture options: --filter NAME[=ARG] switches
// one on, --no-filter NAME off. Lens undistortion and the per-pixel
// calibration are on unless switched off (where the driver has them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nivex.h"

namespace nivex_tool {

struct FilterChange {
    std::string name;
    int id;
    bool enable;
    bool has_arg;
    uint16_t arg;
    bool by_default;  // the tool's own default: a driver without it is no error
};

// Throws a usage error for an unknown name, a missing or bad argument.
std::vector<FilterChange> plan_filters(const std::vector<std::string> &enable,
                                       const std::vector<std::string> &disable);
// Throws ToolError when the driver refuses a change the user asked for.
void apply_filters(nivex_device *dev, const std::vector<FilterChange> &changes);
// "undistort, pixel-calib=MODE, ..." for --help.
std::string filter_names();

}  // namespace nivex_tool
