// Fixture and helpers for the sensor library's tests: a simulated camera
// whose sensor registers the library drives, the sensor accesses read back
// from the camera's wire log, and DRNU files written into the test's own data
// folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nivex_sensorlib.h"
#include "sensorlib/sensor_registry.h"
#include "support/sim_fixture.h"

namespace sensortest {

// The EPC driver cannot open cameras yet; a TI camera carries the same
// sensor register file, so the library is bound to one of those.
inline constexpr const char *kProduct = "NVX-T0-1.0";
inline constexpr uint16_t kChipId = 7;
inline constexpr uint16_t kWaferId = 1042;
inline constexpr int kWidth = 320;
inline constexpr int kHeight = 240;

// One access to a sensor register run (target 1), as it crossed the wire.
struct RegAccess {
    bool write = false;
    uint32_t reg = 0;
    std::vector<uint32_t> values;  // written, or read back
    bool operator==(const RegAccess &) const = default;
};

std::vector<RegAccess> sensor_accesses(const std::vector<nxsim::WireRecord> &wire);
std::vector<RegAccess> sensor_writes(const std::vector<nxsim::WireRecord> &wire);
RegAccess write_of(uint32_t reg, std::vector<uint32_t> values);
// Parameter sets (id and value bytes of each entry) on the wire.
struct ParamWrite {
    uint8_t id = 0;
    uint8_t length = 0;
    std::vector<uint8_t> value;
};
std::vector<ParamWrite> param_writes(const std::vector<nxsim::WireRecord> &wire);

// Phase images, image after image, each top to bottom.
using Images = std::vector<uint16_t>;
Images make_images(int count, int width, int height, uint16_t (*phase)(int k, int y, int x));
// Little-endian parameter files of the three layouts.
std::vector<uint8_t> param_file(int freq_khz, int32_t offset, int32_t temp, double step,
                                int32_t ib_temp);  // 24 bytes
std::vector<uint8_t> param_file(int32_t offset, int32_t temp, double step,
                                int32_t ib_temp);                            // 20 bytes
std::vector<uint8_t> param_file(int32_t offset, int32_t temp, double step);  // 16 bytes

class SensorTest : public nxtest::SimTest {
  protected:
    void SetUp() override;
    void TearDown() override;

    nxsim::Camera add_sensor_camera(uint16_t chip_id = kChipId, uint16_t wafer_id = kWaferId);
    // Adds a camera, opens it into dev_ and binds the library to it.
    void open_and_bind();
    // Files in the data folder.
    void write_data_file(const std::string &name, const std::vector<uint8_t> &bytes);
    void write_images(const std::string &name, const Images &images);
    static std::string images_name(uint16_t chip_id = kChipId, uint16_t wafer_id = kWaferId);
    static std::string params_name(uint16_t chip_id = kChipId, uint16_t wafer_id = kWaferId);
    nx::sensor::SensorModel &model() { return *nx::sensor::current_model(); }

    nxsim::Camera cam_;
};

}  // namespace sensortest
