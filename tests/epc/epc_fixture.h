// Fixture and helpers of the EPC driver's tests: an open simulated EPC camera
// whose driver instance the tests call directly, raw frames built pixel by
// pixel, and DRNU calibration files written into the test's data folder.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "drivers/epc/epc_driver_ops.h"
#include "drivers/epc/epc_driver_state.h"
#include "nivex_epc.h"
#include "support/sim_fixture.h"

namespace epctest {

inline constexpr const char *kProduct = "NVX-E2-2.0b";
inline constexpr int kWidth = 320;
inline constexpr int kHeight = 240;
inline constexpr size_t kPixels = size_t{kWidth} * kHeight;
inline constexpr uint16_t kChipId = 7;
inline constexpr uint16_t kWaferId = 1042;

using Samples = std::array<uint16_t, 4>;  // DCS0..DCS3 of one pixel
using Image = std::vector<uint16_t>;

// Four planes of n words; pixel i gets samples(i) (readout order).
Image make_raw(size_t n, const std::function<Samples(size_t)> &samples);
// The same samples at every pixel.
Image uniform_raw(size_t n, Samples samples);
// Samples whose decoded phase is `phase` (0..29999) with amplitude `amp`
// around a level of 2048 (rounded to whole codes).
Samples samples_for(double phase, double amp);

// The frame description the capture engine would make.
nivex_frame_meta meta_of(int width, int height, uint32_t bytes, uint16_t format = 2);

// DRNU files of chip 7 / wafer 1042: a 24-byte parameter file and K images
// (image k of pixel (x, y) = phase(k, y, x), top to bottom).
void write_param_file(int freq_khz, int32_t offset, int32_t temp, double step, int32_t ib_temp);
void write_distance_images(int k, int width, int height,
                           const std::function<uint16_t(int k, int y, int x)> &phase);

// Values of the parameter sets of parameter `id` on the wire, oldest first.
std::vector<std::vector<uint8_t>> param_sets(const std::vector<nxsim::WireRecord> &wire,
                                             uint8_t id);

class EpcTest : public nxtest::SimTest {
  protected:
    void TearDown() override;

    // An EPC camera streaming the built-in test pattern (no sensor physics)
    // that holds no factory calibration.
    nxsim::Camera add_epc_camera(nxsim::CameraConfig config = pattern_config());
    static nxsim::CameraConfig pattern_config();
    // Adds a camera with `config` and opens it into dev_.
    void open_epc(nxsim::CameraConfig config = pattern_config());

    chip_driver *drv() { return nivex_dev_get_drv(&dev_); }
    nx::epc::epc_driver_state &state() { return *nx::epc::state_of(drv()); }
    // Changes the distance constants; they hold until the sensor's
    // calibration or frequency changes.
    void set_constants(const std::function<void(nx::epc::DistanceConstants &)> &change);
    // Describes a frame with these header temperatures, as a fetch would.
    void describe(int16_t sensor_temp, int16_t ib_temp, int width = kWidth, int height = kHeight);
    // frame_decode of the device's driver; the result, the image in `out`.
    int32_t decode(int kind, const Image &raw, Image &out, int width = kWidth,
                   int height = kHeight);

    nxsim::Camera cam_;
};

}  // namespace epctest
