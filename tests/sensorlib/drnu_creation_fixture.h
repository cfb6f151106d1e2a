// Fixture of the DRNU calibration procedure's tests: a simulated EPC camera
// that looks at a calibration sphere (every pixel sees it at the same
// distance), holds no factory calibration, and streams over an unlimited link;
// the library's data folder apart from the working folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sensor_fixture.h"

namespace sensortest {

inline constexpr const char *kEpcProduct = "NVX-E2-2.0b";
inline constexpr double kFixtureMm = 295;  // the first calibration distance

nxsim::CameraConfig sphere_config(double sphere_mm = kFixtureMm);
// A wall camera with the same chip (and so the same per-pixel error).
nxsim::CameraConfig wall_config(double wall_mm);

std::vector<uint8_t> read_file(const std::string &path);
bool file_exists(const std::string &path);

class DrnuCreationTest : public SensorTest {
  protected:
    void SetUp() override;

    // Adds a camera with `config`, opens it into dev_ (the EPC driver binds
    // the sensor library to it) and sets the procedure's pace: `frames`
    // images per step, no pause, `steps` delay steps.
    void open_camera(const nxsim::CameraConfig &config, int steps = 6, int frames = 1);
    // A file of the data folder.
    std::string data_file(const std::string &name) const;
    // "<stem>_W1042_C007<suffix>".
    static std::string chip_file(const std::string &stem, const std::string &suffix);

    std::string data_dir_;
};

}  // namespace sensortest
