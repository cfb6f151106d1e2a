// The files a capture writes, chosen by the capture options. Every file is
// created (as a temporary file) before the capture starts, so an unwritable
// folder fails at once; all of them appear together at the end, and none
// when the capture fails.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "frame_images.h"
#include "numbers.h"
#include "ply_output.h"

namespace nivex_tool {

struct OutputNames {  // "" = not wanted; relative names lie in the output folder
    std::string depth_png;
    std::string depth16_png;
    std::string amplitude_png;
    std::string ply;
    std::string distance_file;
    std::string amplitude_file;
    std::string raw;
};

struct OutputSettings {
    Range range{0.5f, 4.5f};
    PlyEncoding ply = PlyEncoding::kBinaryLittleEndian;
    int distance_format = NIVEX_FRAME_SAVE_U16;
    std::optional<nivex_lens_param> lens;  // none: the driver's intrinsics
};

class CaptureOutputs {
  public:
    CaptureOutputs(const std::string &folder, const OutputNames &names,
                   const OutputSettings &settings);
    // Every frame: the raw bytes and the frame files.
    void add_frame(nivex_device *dev, const RawFrame &frame);
    // The last frame: images and point cloud; then every file is committed.
    // Returns the written paths.
    std::vector<std::string> finish(nivex_device *dev, const RawFrame &last,
                                    const std::vector<float> &distance);

  private:
    void write_depth_images(ImageSize size, const std::vector<float> &distance);
    void write_amplitude_png(nivex_device *dev, const RawFrame &last);
    void write_point_cloud(nivex_device *dev, ImageSize size, const std::vector<float> &distance);

    OutputSettings settings_;
    std::unique_ptr<AtomicFile> depth_png_, depth16_png_, amplitude_png_, ply_;
    std::unique_ptr<AtomicFile> distance_file_, amplitude_file_, raw_;
};

}  // namespace nivex_tool
