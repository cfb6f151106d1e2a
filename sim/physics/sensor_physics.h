// The simulated EPC sensor: four phase samples (DCS0..DCS3) per pixel, as a
// time-of-flight sensor takes them of the light its illumination sends to
// the scene and gets back.
//
// Per pixel: the true radial distance along the pixel's viewing direction
// through the lens; the phase that distance produces at the modulation
// frequency, shifted by a global offset, the pixel's DRNU error and the
// temperatures; an amplitude from the reflectivity, the distance and the
// exposure; a level raised by ambient light (mostly suppressed when the
// sensor's ABS is on); seeded noise; samples clipped to 12 bits, so that too
// much light saturates (4095) and the dark side of the swing hits 0. Rows go
// out in the sensor's readout order; in HDR mode even and odd image rows are
// exposed with the two times.
//
// The demodulation delay line (register 0x73 = k) delays the sensor's
// reference by k steps of 1.8 ns + (delay code - 128) x 3 ps, each step
// 0.395 ps longer per 0.1 degC above 27 degC. A delayed reference looks like
// a farther target: the pixel measures as if its light had travelled the
// delay's distance further, and its response error follows the phase it
// measures, so it moves along its error curve as it would for that target.
//
// Everything here is the simulator's own arithmetic: it is the truth the
// library's decode is measured against, and shares no code with it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/camsim.h"
#include "sim/physics/drnu_error.h"
#include "sim/physics/lens_rays.h"

namespace nxsim::physics {

inline constexpr int kWidth = 320;
inline constexpr int kHeight = 240;
inline constexpr size_t kPixels = size_t{kWidth} * kHeight;

// Constants of the simulated sensor.
inline constexpr double kGlobalOffsetMm = 180;      // electronics delay, as a distance
inline constexpr double kSensorTempMm = 1.7;        // per 0.1 degC of the sensor
inline constexpr double kBoardTempMm = 0.33765;     // per 0.1 degC of the board
inline constexpr int16_t kFactorySensorTemp = 350;  // where the factory calibrated, 0.1 degC
inline constexpr int16_t kFactoryBoardTemp = 332;
inline constexpr double kFactoryStepMm = 298.2;  // between calibration distances
inline constexpr double kFirstCalibrationMm = 295;
inline constexpr int kCalibrationDistances = 30;
inline constexpr uint32_t kFactoryKhz = 12000;
// The delay line.
inline constexpr double kDelayStepNs = 1.8;          // at delay code 128 and 27 degC
inline constexpr double kDelayPerCodeNs = 0.003;     // per code above 128
inline constexpr double kDelayPerTempNs = 0.000395;  // per 0.1 degC above 27 degC
inline constexpr int16_t kDelayReferenceTemp = 270;
inline constexpr double kLightMmPerNs = 149.896229;  // half the speed of light

// The distance (mm) the delay line adds in `state`.
double delay_mm(const SensorState &state);

// The unambiguous range at a modulation frequency (mm).
double range_mm(uint32_t khz);
// What the chip's DRNU error is seeded by.
uint64_t chip_seed(const CameraConfig &config);
// The viewing direction of every pixel's centre, top to bottom.
const std::vector<Ray> &pixel_rays();

class SensorPhysics final : public FrameSource {
  public:
    explicit SensorPhysics(const CameraConfig &config);

    FrameFormat format() const override;
    void render(uint32_t index, std::span<uint8_t> out) override;
    void render_sensor(uint32_t index, std::span<uint8_t> out, const SensorState &state) override;

    // The phase (units of 1/30000 period) pixel p measures of distance d_mm
    // at the factory's temperatures: what the factory tables hold.
    double measured_phase(size_t pixel, double distance_mm, uint32_t khz) const;

  private:
    // The same with the reference delayed by `delay_mm`.
    double delayed_phase(size_t pixel, double distance_mm, uint32_t khz, double delay_mm) const;
    struct Footprint {  // one of the points a pixel collects light from
        float distance_mm;
        float weight;  // share of the pixel times 1 / distance^2 (per m^2)
    };
    void prepare(uint32_t khz, double delay_mm);
    void render_row(int row, double exposure_us, const SensorState &state, uint64_t noise_seed,
                    std::span<uint8_t> out) const;

    SceneConfig scene_;
    DrnuError drnu_;
    size_t samples_per_pixel_ = 1;
    std::vector<Footprint> footprints_;  // kPixels x samples_per_pixel_
    uint32_t prepared_khz_ = 0;
    double prepared_delay_mm_ = 0;
    // Per pixel, at the factory's temperatures and the reference exposure:
    // amplitude x (cos, sin) of the phase.
    std::vector<float> re_, im_;
};

}  // namespace nxsim::physics
