// The simulated EPC sensor: what its phase samples say about the scene, the
// exposure, the frequency, the temperatures, ambient light and noise; its
// lens, readout order and HDR rows; the factory calibration it writes and
// the NIVEX_SIM keys that configure it.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include "epc_fixture.h"
#include "pixel_reference.h"
#include "sim/camera/camera_model.h"

namespace epctest {
namespace {

using namespace std::chrono_literals;

constexpr size_t kCentre = size_t{122} * kWidth + 157;  // image pixel at the optical axis

nxsim::CameraConfig sensor_config(double wall_mm = 1500) {
    nxsim::CameraConfig config;
    config.product = kProduct;
    config.chip_id = kChipId;
    config.wafer_id = kWaferId;
    config.scene.wall_mm = wall_mm;
    config.scene.noise_mm = 0;
    // The sensor's own output: no calibration fetched at the open.
    config.calib = nxsim::CalibArchive::None;
    return config;
}

nxsim::SensorState factory_state() {
    nxsim::SensorState s;
    s.temp_sensor = 350;
    s.temp_ib = 332;
    return s;
}

// A frame of the sensor, samples per pixel in image order.
struct Frame {
    Image raw;
    ref::Pixel at(size_t image_pixel) const {
        const size_t y = image_pixel / kWidth, x = image_pixel % kWidth;
        for (int r = 0; r < kHeight; ++r)
            if (size_t(ref::image_row(r, kHeight)) == y)
                return ref::pixel(ref::samples_at(raw, kPixels, size_t(r) * kWidth + x));
        return {};
    }
    Samples samples(size_t image_pixel) const {
        const size_t y = image_pixel / kWidth, x = image_pixel % kWidth;
        for (int r = 0; r < kHeight; ++r)
            if (size_t(ref::image_row(r, kHeight)) == y)
                return ref::samples_at(raw, kPixels, size_t(r) * kWidth + x);
        return {};
    }
};

Frame render(const nxsim::CameraConfig &config, const nxsim::SensorState &state,
             uint32_t index = 0) {
    auto source = nxsim::make_sensor_physics(config);
    EXPECT_EQ(source->format().frame_bytes, kPixels * 8);
    Frame f{Image(kPixels * 4)};
    source->render_sensor(index, {reinterpret_cast<uint8_t *>(f.raw.data()), kPixels * 8}, state);
    return f;
}

double phase_mm(int phase, double khz) {
    return phase / 30000.0 * 149896229.0 / khz;
}

TEST(SimSensor, PhaseSaysTheDistanceAndTheTemperatures) {
    const nxsim::SensorState state = factory_state();
    nxsim::CameraConfig config = sensor_config(2000);
    config.scene.drnu_mm = 0;
    const ref::Pixel p = render(config, state).at(kCentre);
    ASSERT_TRUE(p.measured);
    // 2000 mm (the centre ray is nearly on the axis) plus the sensor's offset.
    EXPECT_NEAR(phase_mm(p.phase, 12000), 2000 + 180, 2.0);
    // 5 degC warmer sensor, 2 degC warmer board: 85 + 6.75 mm further.
    nxsim::SensorState warm = state;
    warm.temp_sensor += 50;
    warm.temp_ib += 20;
    EXPECT_NEAR(phase_mm(render(config, warm).at(kCentre).phase, 12000), 2000 + 180 + 91.75, 2.0);
    // At 24 MHz the same distance is twice the phase.
    nxsim::SensorState fast = state;
    fast.modulation_khz = 24000;
    EXPECT_NEAR(phase_mm(render(config, fast).at(kCentre).phase, 24000), 2180, 2.0);
    // The DRNU error is a few centimetres at most.
    config.scene.drnu_mm = 30;
    EXPECT_NEAR(phase_mm(render(config, state).at(kCentre).phase, 12000), 2180, 31.0);
}

TEST(SimSensor, DelayLineMovesThePhaseAsAFartherTarget) {
    nxsim::CameraConfig config = sensor_config(2000);
    config.scene.drnu_mm = 0;
    nxsim::SensorState state = factory_state();
    state.temp_sensor = 412;
    const double at_rest = phase_mm(render(config, state).at(kCentre).phase, 12000);
    // Five steps of delay code 138 at 41.2 degC: (1.8 + 10 x 0.003 +
    // 142 x 0.000395) ns each, at half the speed of light.
    state.delay_steps = 5;
    state.delay_code = 138;
    const double step_mm = (1.8 + 0.03 + 142 * 0.000395) * 149.896229;
    EXPECT_NEAR(phase_mm(render(config, state).at(kCentre).phase, 12000) - at_rest, 5 * step_mm,
                1.0);
    // The per-pixel error follows the phase: a delayed pixel errs as the
    // same pixel looking at a target that much farther.
    config.scene.drnu_mm = 30;
    config.scene.kind = nxsim::SceneConfig::Kind::Sphere;
    config.scene.sphere_mm = 2000;
    nxsim::CameraConfig farther = config;
    farther.scene.sphere_mm = 2000 + 5 * step_mm;
    nxsim::SensorState plain = state;
    plain.delay_steps = 0;
    const int delayed = render(config, state).at(kCentre).phase;
    const int moved = render(farther, plain).at(kCentre).phase;
    // (The farther target's weaker light rounds its samples more coarsely.)
    EXPECT_NEAR(delayed, moved, 10);
}

TEST(SimSensor, SphereIsAtTheSameDistanceForEveryPixel) {
    nxsim::CameraConfig config = sensor_config();
    config.scene.kind = nxsim::SceneConfig::Kind::Sphere;
    config.scene.sphere_mm = 600;
    config.scene.drnu_mm = 0;
    config.scene.reflectivity = 0.1;
    const Frame f = render(config, factory_state());
    for (size_t p : {size_t{0}, kCentre, kPixels - 1})
        EXPECT_NEAR(phase_mm(f.at(p).phase, 12000), 600 + 180, 2.0) << p;
}

TEST(SimSensor, AmplitudeFollowsExposureDistanceAndReflectivity) {
    nxsim::SensorState state = factory_state();
    const int at_2m = render(sensor_config(2000), state).at(kCentre).amplitude;
    EXPECT_NEAR(at_2m, 6000 * 0.5 / 4, 15);
    EXPECT_NEAR(render(sensor_config(4000), state).at(kCentre).amplitude, at_2m / 4, 10);
    state.integration_us = 350;
    EXPECT_NEAR(render(sensor_config(2000), state).at(kCentre).amplitude, at_2m / 2, 10);
    nxsim::CameraConfig grey = sensor_config(2000);
    grey.scene.reflectivity = 0.25;
    state.integration_us = 700;
    EXPECT_NEAR(render(grey, state).at(kCentre).amplitude, at_2m / 2, 10);
}

TEST(SimSensor, TooMuchLightSaturatesAndTheDarkSideHitsZero) {
    nxsim::SensorState state = factory_state();
    state.integration_us = 1500;
    const Frame f = render(sensor_config(500), state);
    const Samples s = f.samples(kCentre);
    EXPECT_TRUE(std::count(s.begin(), s.end(), 4095) > 0);
    EXPECT_TRUE(std::count(s.begin(), s.end(), 0) > 0);
    EXPECT_FALSE(f.at(kCentre).measured);
}

TEST(SimSensor, AmbientLightRaisesTheLevelUnlessSuppressed) {
    nxsim::CameraConfig config = sensor_config(3000);
    config.scene.ambient = 1.0;
    nxsim::SensorState state = factory_state();
    Samples s = render(config, state).samples(kCentre);
    EXPECT_NEAR(s[0] + s[2], 2 * (2048 + 600), 2);
    EXPECT_NEAR(s[1] + s[3], 2 * (2048 + 600), 2);
    state.ambient_suppression = true;
    s = render(config, state).samples(kCentre);
    EXPECT_NEAR(s[0] + s[2], 2 * (2048 + 30), 2);
}

TEST(SimSensor, NoiseIsSeeded) {
    nxsim::CameraConfig config = sensor_config();
    const nxsim::SensorState state = factory_state();
    EXPECT_EQ(render(config, state, 0).raw, render(config, state, 5).raw);  // no noise
    config.scene.noise_mm = 3;
    const Image a = render(config, state, 1).raw;
    EXPECT_EQ(a, render(config, state, 1).raw);
    EXPECT_NE(a, render(config, state, 2).raw);
    config.scene.seed = 2;
    EXPECT_NE(a, render(config, state, 1).raw);
}

TEST(SimSensor, HdrExposesOddImageRowsWithTheSecondTime) {
    nxsim::SensorState state = factory_state();
    state.hdr_integration_us = 70;
    const Frame f = render(sensor_config(2000), state);
    const int even = f.at(kCentre).amplitude;          // image row 122
    const int odd = f.at(kCentre - kWidth).amplitude;  // image row 121
    EXPECT_NEAR(odd * 10, even, 30);
}

TEST(SimSensor, TrueDistancesAreRadialThroughTheLens) {
    nxsim::CameraConfig config = sensor_config(2000);
    const std::vector<double> truth = nxsim::add_camera(config).true_distances_mm();
    nxsim::reset();
    ASSERT_EQ(truth.size(), kPixels);
    EXPECT_NEAR(truth[kCentre], 2000, 1.0);
    // Corners look out at more than 50 degrees: much further along the ray.
    EXPECT_GT(truth[0], 3000);
    EXPECT_GT(truth[kPixels - 1], 3000);
    EXPECT_LT(truth[kCentre + 10], truth[kCentre + 100]);
}

// The steps scene's left plane ends at a vertical straight line in the
// scene. On the sensor the lens bends it; undistorting the decoded image
// makes it straight again.
class SimSensorLens : public EpcTest {};

int edge_column(const Image &dist, int row) {
    for (int x = 10; x < kWidth / 2; ++x) {
        const uint16_t v = dist[size_t(row) * kWidth + size_t(x)];
        if (v <= 60000 && v > 2400) return x;  // background (3 m) instead of 1.2 m
    }
    return -1;
}

TEST_F(SimSensorLens, UndistortionStraightensTheScenesEdges) {
    nxsim::CameraConfig config = sensor_config();
    config.scene.kind = nxsim::SceneConfig::Kind::Steps;
    open_epc(config);
    nivex_filter_args off{};
    drv()->ops->filter_enable(drv(), NIVEX_FILTER_DEPTH_SMOOTH, &off, 1);
    describe(350, 332);
    nxsim::SensorState state = factory_state();
    state.integration_us = 200;  // the box at 0.8 m does not saturate
    const Image raw = render(config, state).raw;
    Image plain, straight;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, plain), int32_t(kPixels * 2));
    drv()->ops->filter_enable(drv(), NIVEX_FILTER_LENS_UNDISTORT, &off, 1);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, straight), int32_t(kPixels * 2));
    auto spread = [](const Image &d) {
        int low = kWidth, high = 0;
        for (int row = 30; row < 210; row += 10) {
            const int x = edge_column(d, row);
            if (x < 0) continue;
            low = std::min(low, x);
            high = std::max(high, x);
        }
        return high - low;
    };
    EXPECT_GE(spread(plain), 4);
    EXPECT_LE(spread(straight), 1);
    // Rows come out in image order: the box in front in the middle, the
    // background above it (uncalibrated: the sensor's offset and 50 mm on
    // top of the truth).
    const std::vector<double> truth = cam_.true_distances_mm();
    const size_t above = size_t(20) * kWidth + 157;
    EXPECT_NEAR(truth[kCentre], 800, 1);
    EXPECT_NEAR(plain[kCentre], truth[kCentre] + 180 + 50, 35);
    EXPECT_GT(truth[above], 3300);
    EXPECT_NEAR(plain[above], truth[above] + 180 + 50, 35);
}

class SimSensorCamera : public EpcTest {};

TEST_F(SimSensorCamera, TemperaturesDriftAndTravelInFrameHeaders) {
    nxsim::CameraConfig config = sensor_config();
    config.scene.drift = 600;  // 1 degC per second
    nxsim::Camera cam = add_epc_camera(config);
    const nxsim::SensorState start = cam.sensor_state();
    EXPECT_NEAR(start.temp_sensor, 412, 1);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    nxsim::SensorState now = start;
    while (now.temp_sensor < start.temp_sensor + 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        now = cam.sensor_state();
    }
    EXPECT_GE(now.temp_sensor, start.temp_sensor + 5);
    EXPECT_GE(now.temp_ib, start.temp_ib + 1);  // the board at half the rate
    EXPECT_LE(now.temp_ib - start.temp_ib, (now.temp_sensor - start.temp_sensor) / 2 + 1);
    // Parameter 15 and the frame headers say the same.
    ASSERT_EQ(open_first(), &dev_);
    nivex_param_entry t{};
    t.param_id = NIVEX_PARAM_TEMPERATURE;
    ASSERT_TRUE(nivex_param_batch_get(&dev_, &t, 1));
    EXPECT_GE(int16_t(t.param_val.data[8] | t.param_val.data[9] << 8), now.temp_ib);
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    Image raw(kPixels * 4);
    nivex_frame_meta meta{};
    ASSERT_EQ(nivex_cap_get_frames(&dev_, 1, raw.data(), kPixels * 8, &meta), 1);
    EXPECT_GE(state().sensor_temp.load(), now.temp_sensor);
    nivex_cap_stop(&dev_);
}

TEST_F(SimSensorCamera, FactoryCalibrationFilesOfTheChip) {
    nxsim::Camera cam = add_epc_camera(sensor_config());
    const std::string folder = dir_.path().string() + "/";
    ASSERT_TRUE(cam.write_factory_calibration(folder));
    std::ifstream params(folder + "kpl_ex_drnu_param_W1042_C007_10.bin", std::ios::binary);
    std::vector<char> p((std::istreambuf_iterator<char>(params)), {});
    ASSERT_EQ(p.size(), 24u);
    auto le32 = [&](size_t at) {
        return int32_t(uint8_t(p[at]) | uint8_t(p[at + 1]) << 8 | uint8_t(p[at + 2]) << 16 |
                       uint32_t(uint8_t(p[at + 3])) << 24);
    };
    EXPECT_EQ(le32(0), 12000);
    EXPECT_EQ(le32(8), 350);
    EXPECT_EQ(le32(20), 332);
    std::ifstream images(folder + "kpl_ex_images_drnu_W1042_C007_10.bin", std::ios::binary);
    std::vector<char> i((std::istreambuf_iterator<char>(images)), {});
    ASSERT_EQ(i.size(), 30u * kPixels * 2);
    // Image 0 is the phase of 295 mm (plus the sensor's offset and error).
    const auto at = 2 * kCentre;
    const int phase = uint8_t(i[at]) | uint8_t(i[at + 1]) << 8;
    EXPECT_NEAR(phase_mm(phase, 12000), 295 + 180, 31);
    // The library finds and loads them at the next open.
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_GT(state().sensor->calibration()->scale_permille, 900);
    EXPECT_EQ(state().sensor->calibration()->loaded_bank, 0);  // extended mode: bank 0
}

TEST(SimSensorKeys, NivexSimPicksTheScene) {
    nxsim::reset();
    ASSERT_EQ(nxsim::configure("cameras=2,scene=wall:2500,reflect=0.8,noise=0,drnu=10,temp=300,"
                               "ib_temp=290,drift=12,ambient=0.3,seed=9,cam1.scene=steps"),
              "");
    const std::vector<nxsim::Camera> cams = nxsim::cameras();
    ASSERT_EQ(cams.size(), 2u);
    EXPECT_EQ(cams[1].model().config().scene.kind, nxsim::SceneConfig::Kind::Steps);
    const nxsim::SceneConfig &scene = cams[0].model().config().scene;
    EXPECT_EQ(scene.kind, nxsim::SceneConfig::Kind::Wall);
    EXPECT_EQ(scene.wall_mm, 2500);
    EXPECT_EQ(scene.reflectivity, 0.8);
    EXPECT_EQ(scene.noise_mm, 0);
    EXPECT_EQ(scene.drnu_mm, 10);
    EXPECT_EQ(scene.drift, 12);
    EXPECT_EQ(scene.ambient, 0.3);
    EXPECT_EQ(scene.seed, 9u);
    EXPECT_EQ(cams[0].sensor_state().temp_sensor, 300);
    EXPECT_EQ(cams[0].sensor_state().temp_ib, 290);
    nxsim::reset();
    ASSERT_EQ(nxsim::configure("scene=sphere:450,delay_code=140"), "");
    EXPECT_EQ(nxsim::cameras()[0].model().config().scene.kind, nxsim::SceneConfig::Kind::Sphere);
    EXPECT_EQ(nxsim::cameras()[0].model().config().scene.sphere_mm, 450);
    EXPECT_EQ(nxsim::cameras()[0].true_distances_mm()[0], 450);
    EXPECT_EQ(nxsim::cameras()[0].sensor_state().delay_code, 140);
    nxsim::reset();
    for (const char *bad : {"scene=wall:50", "scene=cube", "reflect=2", "noise=-1", "ambient=x",
                            "temp=2000", "drnu=", "scene=wall:", "scene=sphere:99"}) {
        EXPECT_NE(nxsim::configure(bad), "") << bad;
        EXPECT_TRUE(nxsim::cameras().empty()) << bad;
    }
}

}  // namespace
}  // namespace epctest
