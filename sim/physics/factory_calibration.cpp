#include "sim/physics/factory_calibration.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/physics/scene_geometry.h"
#include "sim/physics/sensor_physics.h"

namespace nxsim::physics {
namespace {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put64(std::vector<uint8_t> &out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put32(out, static_cast<uint32_t>(bits));
    put32(out, static_cast<uint32_t>(bits >> 32));
}

std::string chip_name(const char *stem, const CameraConfig &config) {
    char name[96];
    std::snprintf(name, sizeof name, "%s_W%03i_C%03i_10.bin", stem, config.wafer_id,
                  config.chip_id);
    return name;
}

bool write_all(const std::string &path, const void *data, size_t size) {
    File file(std::fopen(path.c_str(), "wb"));
    return file && std::fwrite(data, 1, size, file.get()) == size;
}

// frequency (kHz), phase offset, sensor temperature, step (mm), board
// temperature, little-endian.
std::vector<uint8_t> parameter_file() {
    std::vector<uint8_t> bytes;
    put32(bytes, kFactoryKhz);
    put32(bytes,
          static_cast<uint32_t>(std::lround(kGlobalOffsetMm / range_mm(kFactoryKhz) * 30000)));
    put32(bytes, static_cast<uint32_t>(kFactorySensorTemp));
    put64(bytes, kFactoryStepMm);
    put32(bytes, static_cast<uint32_t>(kFactoryBoardTemp));
    return bytes;
}

std::vector<uint8_t> distance_images(const CameraConfig &config) {
    const SensorPhysics sensor(config);
    std::vector<uint8_t> bytes;
    bytes.reserve(kPixels * 2 * kCalibrationDistances);
    for (int k = 0; k < kCalibrationDistances; ++k) {
        const double distance = kFirstCalibrationMm + k * kFactoryStepMm;
        for (size_t p = 0; p < kPixels; ++p) {
            const auto phase =
                static_cast<uint16_t>(std::lround(sensor.measured_phase(p, distance, kFactoryKhz)));
            bytes.push_back(static_cast<uint8_t>(phase));
            bytes.push_back(static_cast<uint8_t>(phase >> 8));
        }
    }
    return bytes;
}

}  // namespace

bool write_factory_calibration(const CameraConfig &config, const std::string &folder) {
    const std::vector<uint8_t> params = parameter_file();
    const std::vector<uint8_t> images = distance_images(config);
    return write_all(folder + chip_name("kpl_ex_drnu_param", config), params.data(),
                     params.size()) &&
           write_all(folder + chip_name("kpl_ex_images_drnu", config), images.data(),
                     images.size());
}

std::vector<uint8_t> factory_package(const CameraConfig &config) {
    std::vector<uint8_t> bytes = parameter_file();
    const std::vector<uint8_t> images = distance_images(config);
    bytes.insert(bytes.end(), images.begin(), images.end());
    return bytes;
}

std::vector<double> true_distances_mm(const SceneConfig &scene) {
    const std::vector<Ray> &rays = pixel_rays();
    std::vector<double> truth(rays.size());
    for (size_t p = 0; p < rays.size(); ++p)
        truth[p] = hit(scene, rays[p]).distance_mm;
    return truth;
}

}  // namespace nxsim::physics
