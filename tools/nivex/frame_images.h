// Raw frames from the camera decoded by the library into float images.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "nivex.h"
#include "png_output.h"

namespace nivex_tool {

struct RawFrame {
    std::span<const uint8_t> bytes;
    nivex_frame_meta meta;
    ImageSize size() const { return {meta.width, meta.height}; }
};

// Distance image in metres (markers 65.3, 65.4, 65.5); throws ToolError when
// the driver cannot decode the frame.
std::vector<float> decode_distance(nivex_device *dev, const RawFrame &frame);
// Amplitude image, values as the driver gives them.
std::vector<float> decode_amplitude(nivex_device *dev, const RawFrame &frame);

// Valid distances lie strictly between 0 and 60 m; anything else is a marker.
inline bool valid_distance(float metres) {
    return metres > 0.0f && metres < 60.0f;
}

}  // namespace nivex_tool
