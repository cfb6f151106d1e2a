#include "sim/physics/sensor_physics.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sim/physics/random.h"
#include "sim/physics/scene_geometry.h"

namespace nxsim::physics {
namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr double kHalfLightSpeedMmKhz = 149896229.0;  // mm x kHz
constexpr double kPhaseUnits = 30000;
constexpr uint16_t kFormatPhasePlanes = 2;
// Amplitude (codes) of a white (reflectivity 1) surface 1 m away at the
// reference exposure.
constexpr double kAmplitudeAt1m = 6000;
constexpr double kReferenceExposureUs = 700;
constexpr double kLevel = 2048;        // samples swing around mid-scale
constexpr double kAmbientCodes = 600;  // full ambient light at the reference exposure
constexpr double kAbsRemains = 0.05;   // what suppression lets through
constexpr double kSampleMax = 4095;
// Sample noise (codes) per mm of distance noise at amplitude 1000, 12 MHz:
// two differences of samples make the phase, each with sqrt(2) sigma.
const double kNoiseCodesPerMm = kTwoPi * std::numbers::sqrt2 * 1000 / 12491.352;
// A pixel of the steps scene collects light at four points.
constexpr double kSubOffsets[] = {-0.25, 0.25};

// Readout row of image row y: the halves come out from the middle, the
// upper half on even rows, the lower half on odd rows.
int readout_row(int y) {
    return y < kHeight / 2 ? 2 * (kHeight / 2 - 1 - y) : 2 * (y - kHeight / 2) + 1;
}

void put_sample(std::span<uint8_t> out, size_t word, double value) {
    const double clipped = std::clamp(std::round(value), 0.0, kSampleMax);
    const auto v = static_cast<uint16_t>(clipped);
    out[2 * word] = static_cast<uint8_t>(v);
    out[2 * word + 1] = static_cast<uint8_t>(v >> 8);
}

uint64_t mix(uint64_t a, uint64_t b) {
    return SplitMix(a * 0x9E3779B97F4A7C15ull ^ b).next();
}

}  // namespace

double range_mm(uint32_t khz) {
    return khz == 0 ? 0 : kHalfLightSpeedMmKhz / khz;
}

double delay_mm(const SensorState &state) {
    const double step_ns = kDelayStepNs + (state.delay_code - 128) * kDelayPerCodeNs +
                           (state.temp_sensor - kDelayReferenceTemp) * kDelayPerTempNs;
    return state.delay_steps * step_ns * kLightMmPerNs;
}

uint64_t chip_seed(const CameraConfig &config) {
    return mix(config.wafer_id, config.chip_id);
}

const std::vector<Ray> &pixel_rays() {
    static const std::vector<Ray> rays = [] {
        std::vector<Ray> r(kPixels);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                r[size_t(y) * kWidth + size_t(x)] = ray_through(kCameraLens, x, y);
        return r;
    }();
    return rays;
}

SensorPhysics::SensorPhysics(const CameraConfig &config)
    : scene_(config.scene), drnu_(config.scene.drnu_mm, chip_seed(config), kPixels) {
    const bool mixed = scene_.kind == SceneConfig::Kind::Steps;
    samples_per_pixel_ = mixed ? 4 : 1;
    footprints_.resize(kPixels * samples_per_pixel_);
    const std::vector<Ray> &centres = pixel_rays();
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const size_t p = size_t(y) * kWidth + size_t(x);
            Footprint *f = &footprints_[p * samples_per_pixel_];
            if (!mixed) {
                const double d = hit(scene_, centres[p]).distance_mm;
                f[0] = {static_cast<float>(d), static_cast<float>(1e6 / (d * d))};
                continue;
            }
            size_t i = 0;
            for (double dy : kSubOffsets) {
                for (double dx : kSubOffsets) {
                    const double d =
                        hit(scene_, ray_through(kCameraLens, x + dx, y + dy)).distance_mm;
                    f[i++] = {static_cast<float>(d), static_cast<float>(0.25e6 / (d * d))};
                }
            }
        }
    }
}

FrameFormat SensorPhysics::format() const {
    return {kFormatPhasePlanes, kWidth, kHeight, static_cast<uint32_t>(kPixels * 8)};
}

double SensorPhysics::measured_phase(size_t pixel, double distance_mm, uint32_t khz) const {
    return delayed_phase(pixel, distance_mm, khz, 0);
}

double SensorPhysics::delayed_phase(size_t pixel, double distance_mm, uint32_t khz,
                                    double delay_mm) const {
    const double seen_mm = distance_mm + delay_mm;
    const double measured = seen_mm + kGlobalOffsetMm + drnu_.at(pixel, seen_mm);
    const double phase = std::fmod(measured / range_mm(khz) * kPhaseUnits, kPhaseUnits);
    return phase < 0 ? phase + kPhaseUnits : phase;
}

void SensorPhysics::prepare(uint32_t khz, double delay_mm) {
    if (khz == prepared_khz_ && delay_mm == prepared_delay_mm_) return;
    re_.assign(kPixels, 0);
    im_.assign(kPixels, 0);
    const double amplitude = kAmplitudeAt1m * scene_.reflectivity;
    for (size_t p = 0; p < kPixels; ++p) {
        double re = 0, im = 0;
        for (size_t i = 0; i < samples_per_pixel_; ++i) {
            const Footprint &f = footprints_[p * samples_per_pixel_ + i];
            const double phi =
                delayed_phase(p, f.distance_mm, khz, delay_mm) / kPhaseUnits * kTwoPi;
            re += amplitude * f.weight * std::cos(phi);
            im += amplitude * f.weight * std::sin(phi);
        }
        re_[p] = static_cast<float>(re);
        im_[p] = static_cast<float>(im);
    }
    prepared_khz_ = khz;
    prepared_delay_mm_ = delay_mm;
}

void SensorPhysics::render(uint32_t index, std::span<uint8_t> out) {
    SensorState factory;
    factory.temp_sensor = kFactorySensorTemp;
    factory.temp_ib = kFactoryBoardTemp;
    render_sensor(index, out, factory);
}

void SensorPhysics::render_sensor(uint32_t index, std::span<uint8_t> out,
                                  const SensorState &state) {
    if (out.size() < kPixels * 8 || state.modulation_khz == 0) return;
    prepare(state.modulation_khz, delay_mm(state));
    const uint64_t frame_seed = mix(scene_.seed, index);
    for (int y = 0; y < kHeight; ++y) {
        const bool short_row = state.hdr_integration_us && y % 2 == 1;
        const double exposure = short_row ? *state.hdr_integration_us : state.integration_us;
        render_row(y, exposure, state, mix(frame_seed, static_cast<uint64_t>(y)), out);
    }
}

void SensorPhysics::render_row(int y, double exposure_us, const SensorState &state,
                               uint64_t noise_seed, std::span<uint8_t> out) const {
    // The temperatures move every phase by the same amount.
    const double shift_mm = kSensorTempMm * (state.temp_sensor - kFactorySensorTemp) +
                            kBoardTempMm * (state.temp_ib - kFactoryBoardTemp);
    const double turn = kTwoPi * shift_mm / range_mm(state.modulation_khz);
    const double scale = std::max(exposure_us, 0.0) / kReferenceExposureUs;
    const double c = scale * std::cos(turn), s = scale * std::sin(turn);
    const double ambient =
        scene_.ambient * kAmbientCodes * scale * (state.ambient_suppression ? kAbsRemains : 1.0);
    const double level = kLevel + ambient;
    const double sigma = scene_.noise_mm * kNoiseCodesPerMm * (1 + scene_.ambient);
    NormalNoise noise(noise_seed);
    auto noisy = [&](double v) { return sigma > 0 ? v + sigma * noise.next() : v; };
    const size_t row = size_t(readout_row(y)) * kWidth;
    for (int x = 0; x < kWidth; ++x) {
        const size_t p = size_t(y) * kWidth + size_t(x);
        const double re = re_[p] * c - im_[p] * s;
        const double im = re_[p] * s + im_[p] * c;
        put_sample(out, row + size_t(x), noisy(level + re));
        put_sample(out, kPixels + row + size_t(x), noisy(level + im));
        put_sample(out, 2 * kPixels + row + size_t(x), noisy(level - re));
        put_sample(out, 3 * kPixels + row + size_t(x), noisy(level - im));
    }
}

}  // namespace nxsim::physics

namespace nxsim {

std::shared_ptr<FrameSource> make_sensor_physics(const CameraConfig &config) {
    return std::make_shared<physics::SensorPhysics>(config);
}

}  // namespace nxsim
