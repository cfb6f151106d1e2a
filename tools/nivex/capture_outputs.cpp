#include "capture_outputs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "tool_error.h"

namespace nivex_tool {
namespace {

std::unique_ptr<AtomicFile> open_output(const std::string &folder, const std::string &name) {
    if (name.empty()) return nullptr;
    std::filesystem::path path(name);
    if (path.is_relative() && folder != ".") path = std::filesystem::path(folder) / path;
    return std::make_unique<AtomicFile>(path.string());
}

// Millimetres as the library's 16-bit distance images hold them: marker codes
// (65300, 65400, 65500) stay what they are.
std::vector<uint16_t> millimetres(const std::vector<float> &distance) {
    std::vector<uint16_t> mm(distance.size());
    for (size_t i = 0; i < distance.size(); ++i) {
        float value = std::nearbyint(distance[i] * 1000.0f);
        mm[i] = static_cast<uint16_t>(std::clamp(value, 0.0f, 65535.0f));
    }
    return mm;
}

// Amplitudes scaled so that the brightest pixel is white.
std::vector<uint8_t> amplitude_bytes(const std::vector<float> &amplitude) {
    float brightest = 1.0f;
    for (float value : amplitude)
        if (std::isfinite(value)) brightest = std::max(brightest, value);
    std::vector<uint8_t> gray(amplitude.size());
    for (size_t i = 0; i < amplitude.size(); ++i) {
        float value = std::isfinite(amplitude[i]) ? amplitude[i] : 0.0f;
        gray[i] = static_cast<uint8_t>(std::clamp(value * 255.0f / brightest, 0.0f, 255.0f));
    }
    return gray;
}

void save_or_fail(bool saved, const AtomicFile &file) {
    if (!saved) throw ToolError("cannot write " + file.path());
}

}  // namespace

CaptureOutputs::CaptureOutputs(const std::string &folder, const OutputNames &names,
                               const OutputSettings &settings)
    : settings_(settings) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        throw ToolError("cannot create the output folder " + folder + ": " + error.message());
    depth_png_ = open_output(folder, names.depth_png);
    depth16_png_ = open_output(folder, names.depth16_png);
    amplitude_png_ = open_output(folder, names.amplitude_png);
    ply_ = open_output(folder, names.ply);
    distance_file_ = open_output(folder, names.distance_file);
    amplitude_file_ = open_output(folder, names.amplitude_file);
    raw_ = open_output(folder, names.raw);
}

void CaptureOutputs::add_frame(nivex_device *dev, const RawFrame &frame) {
    if (raw_) {
        FILE *out = raw_->stream();
        save_or_fail(
            std::fwrite(frame.bytes.data(), 1, frame.bytes.size(), out) == frame.bytes.size(),
            *raw_);
    }
    const int w = static_cast<int>(frame.meta.width);
    const int h = static_cast<int>(frame.meta.height);
    if (distance_file_) {
        std::vector<float> distance = decode_distance(dev, frame);
        save_or_fail(nivex_frame_save_distance(distance_file_->fd(), settings_.distance_format,
                                               distance.data(), static_cast<int>(distance.size()),
                                               w, h) == 1,
                     *distance_file_);
    }
    if (amplitude_file_) {
        std::vector<float> amplitude = decode_amplitude(dev, frame);
        save_or_fail(
            nivex_frame_save_gray(amplitude_file_->fd(), NIVEX_FRAME_SAVE_U16, amplitude.data(),
                                  static_cast<int>(amplitude.size()), w, h) == 1,
            *amplitude_file_);
    }
}

void CaptureOutputs::write_depth_images(ImageSize size, const std::vector<float> &distance) {
    // The colour map also sets the range that pseudo-coloured point clouds
    // use, so it runs whenever either output is wanted.
    if (depth_png_ || ply_) {
        std::vector<uint8_t> rgb(size.pixels() * 3);
        nivex_cmap_float(rgb.data(), static_cast<int>(rgb.size()), distance.data(),
                         static_cast<int>(distance.size()), NIVEX_CMAP_OUTFMT_3B,
                         settings_.range.low, settings_.range.high);
        if (depth_png_) write_png_rgb8(*depth_png_, size, rgb);
    }
    if (depth16_png_) write_png_gray16(*depth16_png_, size, millimetres(distance));
}

void CaptureOutputs::write_amplitude_png(nivex_device *dev, const RawFrame &last) {
    if (!amplitude_png_) return;
    write_png_gray8(*amplitude_png_, last.size(), amplitude_bytes(decode_amplitude(dev, last)));
}

void CaptureOutputs::write_point_cloud(nivex_device *dev, ImageSize size,
                                       const std::vector<float> &distance) {
    if (!ply_) return;
    std::vector<float> points(size.pixels() * 4);
    const nivex_lens_param *lens = settings_.lens ? &*settings_.lens : nullptr;
    int count = nivex_frame_get_pcl_xyzd(dev, points.data(), static_cast<int>(points.size()),
                                         distance.data(), static_cast<int>(distance.size()),
                                         static_cast<int>(size.width),
                                         static_cast<int>(size.height), true, lens);
    bool any_valid = std::any_of(distance.begin(), distance.end(), valid_distance);
    if (count <= 0 && any_valid)
        throw ToolError(
            "no point cloud: the camera's driver has no lens parameters (give "
            "--lens CX,CY,FX,FY)");
    points.resize(static_cast<size_t>(std::max(count, 0)) * 4);
    write_ply(*ply_, points, settings_.ply);
}

std::vector<std::string> CaptureOutputs::finish(nivex_device *dev, const RawFrame &last,
                                                const std::vector<float> &distance) {
    write_depth_images(last.size(), distance);
    write_amplitude_png(dev, last);
    write_point_cloud(dev, last.size(), distance);
    std::vector<std::string> written;
    for (auto *file : {&depth_png_, &depth16_png_, &amplitude_png_, &ply_, &distance_file_,
                       &amplitude_file_, &raw_}) {
        if (!*file) continue;
        (*file)->commit();
        written.push_back((*file)->path());
    }
    return written;
}

}  // namespace nivex_tool
