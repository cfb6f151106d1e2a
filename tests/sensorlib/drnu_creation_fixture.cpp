#include "drnu_creation_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sensorlib/drnu_work.h"

namespace sensortest {

nxsim::CameraConfig sphere_config(double sphere_mm) {
    nxsim::CameraConfig config;
    config.product = kEpcProduct;
    config.chip_id = kChipId;
    config.wafer_id = kWaferId;
    config.calib = nxsim::CalibArchive::None;
    // Frames come when due at the start of a capture and every 10 ms after:
    // a running capture does not keep the simulator rendering frames nobody
    // takes.
    config.frame_rate = 100;
    config.link_rate = nxsim::kUnlimitedLink;
    config.scene.kind = nxsim::SceneConfig::Kind::Sphere;
    config.scene.sphere_mm = sphere_mm;
    // About 1400 codes of amplitude at 295 mm and 700 us.
    config.scene.reflectivity = 0.02;
    config.scene.noise_mm = 1;
    config.scene.drnu_mm = 30;
    return config;
}

nxsim::CameraConfig wall_config(double wall_mm) {
    nxsim::CameraConfig config = sphere_config();
    config.scene.kind = nxsim::SceneConfig::Kind::Wall;
    config.scene.wall_mm = wall_mm;
    config.scene.reflectivity = 0.5;
    config.scene.noise_mm = 0;
    return config;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool file_exists(const std::string &path) {
    return std::filesystem::exists(path);
}

void DrnuCreationTest::SetUp() {
    SensorTest::SetUp();
    data_dir_ = dir_.file("data") + "/";
    ASSERT_EQ(nivex_path_cfg(data_dir_.c_str()), 0);
}

void DrnuCreationTest::open_camera(const nxsim::CameraConfig &config, int steps, int frames) {
    cam_ = nxsim::add_camera(config);
    ASSERT_EQ(open_first(), &dev_);
    ASSERT_EQ(nx::sensor::current_device(), &dev_);
    nx::sensor::set_drnu_timing(model(), frames, 0);
    ASSERT_EQ(calibrateSetNumDistances(steps), 0);
}

std::string DrnuCreationTest::data_file(const std::string &name) const {
    return data_dir_ + name;
}

std::string DrnuCreationTest::chip_file(const std::string &stem, const std::string &suffix) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "_W%03d_C%03d", kWaferId, kChipId);
    return stem + ids + suffix;
}

}  // namespace sensortest
