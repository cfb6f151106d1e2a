#include "filter_switches.h"

#include <algorithm>

#include "numbers.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

enum class ArgKind { kNone, kU8, kU16 };

struct FilterName {
    const char *name;
    int id;
    ArgKind arg;
    const char *arg_name;
};

constexpr FilterName kFilters[] = {
    {"undistort", NIVEX_FILTER_LENS_UNDISTORT, ArgKind::kNone, ""},
    {"pixel-calib", NIVEX_FILTER_PIXEL_CALIB, ArgKind::kU8, "MODE"},
    {"smooth", NIVEX_FILTER_DEPTH_SMOOTH, ArgKind::kU8, "MEDIAN_SIZE"},
    {"min-amp", NIVEX_FILTER_MIN_AMP, ArgKind::kU16, "AMPLITUDE"},
    {"auto-intg", NIVEX_FILTER_AUTO_INTG, ArgKind::kU16, "SAT_RATIO"},
    {"dcs-check", NIVEX_FILTER_DCS_CHECK, ArgKind::kU16, "VALUE"},
    {"temp-monitor", NIVEX_FILTER_TEMP_MONITOR, ArgKind::kU16, "VALUE"},
    {"hdr", NIVEX_FILTER_HDR, ArgKind::kNone, ""},
};

const FilterName &find_filter(const std::string &name) {
    for (const FilterName &filter : kFilters)
        if (name == filter.name) return filter;
    throw usage_error("unknown filter '" + name + "' (known: " + filter_names() + ")");
}

FilterChange enable_change(const std::string &text) {
    size_t eq = text.find('=');
    const FilterName &filter = find_filter(text.substr(0, eq));
    FilterChange change{filter.name, filter.id, true, false, 0, false};
    if (filter.arg == ArgKind::kNone) {
        if (eq != std::string::npos) throw usage_error("filter " + text + " takes no value");
        return change;
    }
    if (eq == std::string::npos)
        throw usage_error("filter " + text + " needs a value: " + filter.name + "=" +
                          filter.arg_name);
    uint32_t max = filter.arg == ArgKind::kU8 ? 0xFF : 0xFFFF;
    change.has_arg = true;
    change.arg = static_cast<uint16_t>(
        parse_u32_max(text.substr(eq + 1), max, std::string("filter ") + filter.name));
    return change;
}

nivex_filter_args filter_argument(const FilterChange &change) {
    nivex_filter_args args{};
    switch (change.id) {
        case NIVEX_FILTER_PIXEL_CALIB:
            args.calib_mode = static_cast<uint8_t>(change.arg);
            break;
        case NIVEX_FILTER_DEPTH_SMOOTH:
            args.median_size = static_cast<uint8_t>(change.arg);
            break;
        default:
            args.min_amp = change.arg;  // every 16-bit member shares these bytes
            break;
    }
    return args;
}

}  // namespace

std::vector<FilterChange> plan_filters(const std::vector<std::string> &enable,
                                       const std::vector<std::string> &disable) {
    std::vector<FilterChange> changes;
    for (const std::string &text : disable) {
        const FilterName &filter = find_filter(text);
        changes.push_back({filter.name, filter.id, false, false, 0, false});
    }
    for (const std::string &text : enable)
        changes.push_back(enable_change(text));
    // The tool's defaults, unless the user named the filter: metric point
    // clouds, and the camera's own per-pixel calibration where it has one.
    const FilterChange defaults[] = {
        {"undistort", NIVEX_FILTER_LENS_UNDISTORT, true, false, 0, true},
        {"pixel-calib", NIVEX_FILTER_PIXEL_CALIB, true, true, 1, true},
    };
    for (const FilterChange &fallback : defaults) {
        bool named = std::any_of(changes.begin(), changes.end(),
                                 [&](const FilterChange &c) { return c.id == fallback.id; });
        if (!named) changes.insert(changes.begin(), fallback);
    }
    return changes;
}

void apply_filters(nivex_device *dev, const std::vector<FilterChange> &changes) {
    for (const FilterChange &change : changes) {
        int result;
        if (change.enable) {
            nivex_filter_args args = filter_argument(change);
            result =
                nivex_filter_enable(dev, change.id, change.has_arg ? &args : nullptr, sizeof args);
        } else {
            result = nivex_filter_disable(dev, change.id);
        }
        if (result != 1 && !change.by_default)
            throw ToolError("the camera's driver refused to switch filter " + change.name +
                            (change.enable ? " on" : " off"));
    }
}

std::string filter_names() {
    std::string names;
    for (const FilterName &filter : kFilters) {
        if (!names.empty()) names += ", ";
        names += filter.name;
        if (filter.arg != ArgKind::kNone) names += std::string("=") + filter.arg_name;
    }
    return names;
}

}  // namespace nivex_tool
