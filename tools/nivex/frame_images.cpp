#include "frame_images.h"

#include <string>

#include "tool_error.h"

namespace nivex_tool {
namespace {

using Decode = int (*)(nivex_device *, float *, int, const void *, int, const nivex_frame_meta *);

std::vector<float> decode(nivex_device *dev, const RawFrame &frame, Decode call, const char *what) {
    std::vector<float> image(frame.size().pixels());
    int samples = call(dev, image.data(), static_cast<int>(image.size()), frame.bytes.data(),
                       static_cast<int>(frame.bytes.size()), &frame.meta);
    if (samples <= 0 || image.empty())
        throw ToolError(std::string("the camera's driver cannot decode the ") + what +
                        " of frame " + std::to_string(frame.meta.frame_idx) + " (format " +
                        std::to_string(frame.meta.frame_format) + ")");
    return image;
}

}  // namespace

std::vector<float> decode_distance(nivex_device *dev, const RawFrame &frame) {
    return decode(dev, frame, nivex_frame_get_distance, "distance");
}

std::vector<float> decode_amplitude(nivex_device *dev, const RawFrame &frame) {
    return decode(dev, frame, nivex_frame_get_gray, "amplitude");
}

}  // namespace nivex_tool
