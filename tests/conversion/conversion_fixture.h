// Fixture of the conversion tests: an open TI camera on the simulated bus,
// and a test driver that can take the place of the TI driver's operations
// where a test needs control over decoded pixels, lens parameters or filter
// results.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "drivers/chip_driver.h"
#include "imgproc/lens_param.h"
#include "support/sim_fixture.h"

namespace nxtest {

inline constexpr const char *kTiProduct = "NVX-T0-1.0";

// What the test driver's operations do, and what they were asked.
struct TestDriver {
    // frame_decode: writes these codes (as many as fit) and returns their
    // bytes, or `decode_result` when set.
    std::vector<uint16_t> codes;
    std::optional<int32_t> decode_result;
    bool has_decode = true;
    int decode_calls = 0;
    int last_kind = 0;
    uint32_t last_dst_bytes = 0;
    const uint16_t *last_dst = nullptr;

    // lens_param_get: fills `lens` scaled to the asked size when it divides
    // the lens image size, as a driver does.
    epc_lens_param lens = nx::kDefaultLensParam;
    bool has_lens = true;
    int lens_calls = 0;

    // filter_enable / filter_disable: record the call, return `filter_result`.
    // Enabling id 1 with a calib_mode above 1 writes 1 back, as a driver does.
    bool has_filters = true;
    bool filter_result = true;
    struct FilterCall {
        bool enable;
        int id;
        nivex_filter_args *arg;
        uint32_t arg_size;
    };
    std::vector<FilterCall> filter_calls;
};

// Puts the test driver's operations into the driver of the open device `dev`
// for its lifetime (from the next call on); `dev` stays open meanwhile.
class DriverOverride {
  public:
    DriverOverride(const nivex_device &dev, TestDriver &driver);
    ~DriverOverride();
    DriverOverride(const DriverOverride &) = delete;
    DriverOverride &operator=(const DriverOverride &) = delete;

  private:
    chip_driver *row_;
    const chip_driver_ops *saved_;
    chip_driver_ops ops_{};
};

// SimTest with a TI camera opened into dev_.
class ConversionTest : public SimTest {
  protected:
    void SetUp() override;

    // A frame description of w x h pixels and `frame_size` raw bytes.
    static nivex_frame_meta meta(uint32_t w, uint32_t h, uint32_t frame_size = 0);
    // One frame of the camera (capture started and stopped around it).
    std::vector<uint8_t> snapshot(nivex_frame_meta &info);

    nxsim::Camera camera_;
};

// A least-squares plane z = a + b x + c y through a point cloud (3 floats per
// point) of a wall at `wall` metres.
struct PlaneFit {
    double offset_mm;  // the plane at the optical axis, minus the wall distance
    double rms_mm;     // residuals from the plane
    double slope_x, slope_y;
    int points;
};
PlaneFit fit_plane(const std::vector<float> &cloud, int points, double wall);

// The log lines that contain `text`.
int count_lines(const std::string &log, const std::string &text);

}  // namespace nxtest
