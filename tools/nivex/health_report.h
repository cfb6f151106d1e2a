// The stream health counters of a capture as the tool shows them: the block
// of the capture summary, one line per second of the health watch, and the
// same as one JSON object per line.
#pragma once

#include <string>

#include "nivex.h"

namespace nivex_tool {

// The counters of an open device; a ToolError when the library refuses.
nivex_cap_health read_health(nivex_device *dev);

// Lines for the end of a capture ("frames:", "link:", "buffer:", "last error:").
std::string health_summary(const nivex_cap_health &health);
// One line: the time since the watch began, then the counters.
std::string health_line(double seconds, const nivex_cap_health &health);
// One JSON object on one line, every counter by its field name.
std::string health_json(double seconds, const nivex_cap_health &health);

}  // namespace nivex_tool
