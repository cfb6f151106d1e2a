// The DRNU calibration procedure against the simulated camera: its files,
// the step it finds, the sensor state it leaves, and the accuracy its
// calibration gives when loaded back by the EPC driver.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numeric>
#include <vector>

#include "common/byte_order.h"
#include "drnu_creation_fixture.h"
#include "sensorlib/drnu_creation.h"

namespace sensortest {
namespace {

constexpr int kSteps = 8;

// Every progress report of the procedure: step, steps, sweep.
struct ProgressReport {
    int step, steps, sweep;
    bool operator==(const ProgressReport &) const = default;
};
std::vector<ProgressReport> g_reports;
void record_progress(int step, int steps, int sweep) {
    g_reports.push_back({step, steps, sweep});
}

// Records the procedure's progress reports while it lives.
struct ProgressRecorder {
    ProgressRecorder() {
        g_reports.clear();
        calibrationSetProgressCallback(record_progress);
    }
    ~ProgressRecorder() { calibrationSetProgressCallback(nullptr); }
};
constexpr size_t kPixels = size_t{kWidth} * kHeight;
constexpr uint32_t kFrameBytes = kPixels * 8;
// The simulated chip's delay step at 41.2 degC (its default temperature),
// delay code 128: (1.8 + 142 x 0.000395) ns at half the speed of light.
constexpr double kTrueStepMm = (1.8 + 142 * 0.000395) * 149.896229;

double f64_at(const std::vector<uint8_t> &bytes, size_t at) {
    const uint64_t bits = nx::load_le32(&bytes[at]) | uint64_t{nx::load_le32(&bytes[at + 4])} << 32;
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::vector<int> csv_values(const std::string &path) {
    std::ifstream in(path);
    std::vector<int> values;
    int v = 0;
    while (in >> v)
        values.push_back(v);
    return values;
}

uint8_t sensor_reg(const nxsim::Camera &cam, uint32_t reg) {
    return static_cast<uint8_t>(cam.reg(1, reg));
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Image 0 is the sphere; every step moves the mean phase on by one step.
void expect_one_step_apart(const std::vector<uint8_t> &image_bytes, int32_t offset,
                           double step_mm) {
    const double range = 149896229.0 / 12000;
    for (size_t k = 1; k < image_bytes.size() / (2 * kPixels); ++k) {
        double sum = 0;
        for (size_t p = 0; p < kPixels; ++p)
            sum += nx::load_le16(&image_bytes[2 * (k * kPixels + p)]);
        EXPECT_NEAR(sum / kPixels - offset, k * step_mm * 30000 / range, 10) << "image " << k;
    }
}

TEST_F(DrnuCreationTest, ProcedureWritesItsFilesIntoTheDataFolder) {
    open_camera(sphere_config(), kSteps);
    {
        ProgressRecorder progress;
        ASSERT_EQ(calibrationDRNU(), 0);
    }
    std::vector<ProgressReport> one_sweep;
    for (int step = 0; step < kSteps; ++step)
        one_sweep.push_back({step, kSteps, 1});
    EXPECT_EQ(g_reports, one_sweep);

    const std::string images = data_file(chip_file("kpl_ex_images_drnu", "_10.bin"));
    const std::string params = data_file(chip_file("kpl_ex_drnu_param", "_10.bin"));
    const std::string text = data_file(chip_file("kpl_ex_drnu", "_10.csv"));
    const std::string temps = data_file(chip_file("kpl_ex_temperature_drnu", "_10.csv"));
    const std::string ib_temps = data_file(chip_file("kpl_ex_ibtemperature_drnu", "_10.csv"));
    const std::string package = data_file("calib_and_param_007.bin");
    for (const std::string &path : {images, params, text, temps, ib_temps, package})
        EXPECT_TRUE(file_exists(path)) << path;
    EXPECT_FALSE(file_exists(dir_.file(chip_file("kpl_ex_images_drnu", "_10.bin"))));

    const std::vector<uint8_t> image_bytes = read_file(images);
    ASSERT_EQ(image_bytes.size(), kSteps * kPixels * 2);
    const std::vector<uint8_t> param_bytes = read_file(params);
    ASSERT_EQ(param_bytes.size(), 24u);
    EXPECT_EQ(nx::load_le32(&param_bytes[0]), 12000u);
    EXPECT_EQ(static_cast<int32_t>(nx::load_le32(&param_bytes[8])), 412);   // sensor
    EXPECT_EQ(static_cast<int32_t>(nx::load_le32(&param_bytes[20])), 398);  // board
    // The search finds the delay line's true step, not the 150 mm/ns model.
    const double step = f64_at(param_bytes, 12);
    EXPECT_NEAR(step, kTrueStepMm, 0.3);
    EXPECT_TRUE(logged("[calibrationDRNU] Find best step value : OK\n"));
    const int32_t offset = static_cast<int32_t>(nx::load_le32(&param_bytes[4]));
    expect_one_step_apart(image_bytes, offset, step);

    std::vector<uint8_t> expected_package = param_bytes;
    expected_package.insert(expected_package.end(), image_bytes.begin(), image_bytes.end());
    EXPECT_EQ(read_file(package), expected_package);
    EXPECT_EQ(csv_values(temps), std::vector<int>(kSteps, 412));
    EXPECT_EQ(csv_values(ib_temps), std::vector<int>(kSteps, 398));
    std::ifstream lines(text);
    std::string f, o, t, s, ib;
    lines >> f >> o >> t >> s >> ib;
    EXPECT_EQ(f, "12000");
    EXPECT_EQ(std::stoi(o), offset);
    EXPECT_EQ(t, "412");
    EXPECT_NEAR(std::stod(s), step, 0.0001);
    EXPECT_EQ(ib, "398");
}

TEST_F(DrnuCreationTest, SensorIsLeftAtRestWithItsSettings) {
    open_camera(sphere_config(), 3);
    calculationSetMinAmplitude(77);
    calculationSetEnableDRNU(1);
    ASSERT_EQ(calibrationDRNU(), 0);
    EXPECT_EQ(sensor_reg(cam_, 0xAE), 1);
    EXPECT_EQ(sensor_reg(cam_, 0x71), 0);
    EXPECT_EQ(sensor_reg(cam_, 0x72), 0);
    EXPECT_EQ(sensor_reg(cam_, 0x73), 0);
    EXPECT_EQ(configGetModulationFrequency(), 12000);
    EXPECT_EQ(model().current_mode(), 0);
    EXPECT_EQ(calculationGetMinAmplitude(), 77);
    EXPECT_EQ(calculationGetEnableDRNU(), 1);
    EXPECT_FALSE(model().temperature_correction());
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    // Every step was taken at its own delay.
    const auto writes = sensor_writes(cam_.wire_log());
    std::vector<uint32_t> steps;
    for (const RegAccess &w : writes)
        if (w.reg == 0x73 && w.values.size() == 1) steps.push_back(w.values[0]);
    EXPECT_EQ(steps, (std::vector<uint32_t>{0, 1, 2}));
}

TEST_F(DrnuCreationTest, RunningCaptureIsRestartedForEveryStep) {
    open_camera(sphere_config(), 4, 1);
    // The application's frame count per step is the one measured.
    EXPECT_EQ(calibrationSetNumAveragedFrames(0), -1);
    ASSERT_EQ(calibrationSetNumAveragedFrames(2), 0);
    ASSERT_TRUE(nivex_cap_start(&dev_));
    ASSERT_EQ(calibrationDRNU(), 0);
    EXPECT_TRUE(
        logged("[calibrationCreateDRNU_LUT] calibrationCreateDRNU_LUT: 3  numAvrFrames= 2\n"));
    EXPECT_TRUE(nivex_cap_is_ongoing(&dev_));
    // No frame of an earlier step went into a later one.
    const std::vector<uint8_t> params =
        read_file(data_file(chip_file("kpl_ex_drnu_param", "_10.bin")));
    ASSERT_EQ(params.size(), 24u);
    expect_one_step_apart(read_file(data_file(chip_file("kpl_ex_images_drnu", "_10.bin"))),
                          static_cast<int32_t>(nx::load_le32(&params[4])), kTrueStepMm);
    nivex_cap_stop(&dev_);
}

TEST_F(DrnuCreationTest, CaptureErrorEndsTheProcedureWithTheSensorRestored) {
    open_camera(sphere_config(), 4);
    calculationSetMinAmplitude(55);
    calculationSetEnableDRNU(2);
    uint8_t busy[3] = {3, 3, 5};  // 0x71..0x73 as an earlier run might leave them
    unsigned char *buf = busy;
    ASSERT_EQ(i2c(32, 'w', 0x71, 3, &buf), 0);
    // The endpoint halts again and again: no capture delivers a frame.
    cam_.inject_stall(100000);
    EXPECT_EQ(calibrationDRNU(), -1);
    EXPECT_TRUE(logged("capture failed: NIVEX_ERR_CAP_STALL"));
    EXPECT_EQ(sensor_reg(cam_, 0xAE), 1);
    EXPECT_EQ(sensor_reg(cam_, 0x71), 0);
    EXPECT_EQ(sensor_reg(cam_, 0x72), 0);
    EXPECT_EQ(sensor_reg(cam_, 0x73), 0);
    EXPECT_EQ(model().current_mode(), 0);
    EXPECT_EQ(calculationGetMinAmplitude(), 55);
    EXPECT_EQ(calculationGetEnableDRNU(), 2);
    EXPECT_FALSE(file_exists(data_file("calib_and_param_007.bin")));
}

TEST_F(DrnuCreationTest, UnpluggedCameraFailsCleanly) {
    open_camera(sphere_config(), 3);
    cam_.unplug();
    EXPECT_EQ(calibrationDRNU(), -1);
    std::vector<uint16_t> image(kPixels);
    EXPECT_EQ(calculationDistanceSorted(image.data(), static_cast<int>(image.size())), -1);
    int16_t temps[5];
    EXPECT_EQ(temperatureGetTemperatures(temps), -1);
    EXPECT_EQ(calibrationCreateDRNU_LUT(0, 1), -1);
    EXPECT_FALSE(file_exists(data_file("calib_and_param_007.bin")));
}

TEST_F(DrnuCreationTest, EveryCallFailsWithoutACurrentDevice) {
    EXPECT_EQ(calibrationDRNU(), -1);
    EXPECT_EQ(apiCalibrateDRNU(), -1);
    EXPECT_EQ(calibrationCreateDRNU_LUT(0, 1), -1);
    EXPECT_EQ(calibrationTestStep(), -1);
    EXPECT_EQ(calibrationSetNumAveragedFrames(5), -1);
    uint16_t image[4];
    EXPECT_EQ(calculationDistanceSorted(image, 4), -1);
    EXPECT_EQ(calculationDistanceSorted(nullptr, 4), -1);
    EXPECT_EQ(temperatureGetTemperatures(nullptr), -1);
}

TEST_F(DrnuCreationTest, StepArgumentsOutsideTheTablesAreRefused) {
    open_camera(sphere_config(), 4);
    cam_.clear_wire_log();
    EXPECT_EQ(calibrationCreateDRNU_LUT(0, 0), -1);
    EXPECT_EQ(calibrationCreateDRNU_LUT(-1, 1), -1);
    EXPECT_EQ(calibrationCreateDRNU_LUT(4, 1), -1);
    EXPECT_TRUE(cam_.wire_log().empty());
    // Geometry beyond a bank: the setters refuse it, and a procedure with a
    // table that could not hold its images does not start measuring.
    EXPECT_EQ(calibrateSetNumDistances(31), -1);
    EXPECT_EQ(calibrateSetWidth(330), -1);
    nx::sensor::set_drnu_timing(model(), 0, 0);
    EXPECT_EQ(calibrationDRNU(), -1);
    EXPECT_EQ(sensor_reg(cam_, 0xAE), 1);
}

TEST_F(DrnuCreationTest, PhaseFallingBelowThePreviousStepIsUnwrapped) {
    open_camera(sphere_config(), 4);
    ASSERT_EQ(calibrationCreateDRNU_LUT(0, 1), 0);
    nx::sensor::DrnuWork &work = model().drnu_work();
    const std::vector<uint16_t> image0(work.images[1].begin(), work.images[1].begin() + kPixels);
    // As if step 0 had ended just below the period's end: the same phase at
    // step 1 lies one period further on.
    std::fill(work.previous_phase.begin(), work.previous_phase.end(), 29800);
    ASSERT_EQ(calibrationCreateDRNU_LUT(1, 1), 0);
    double moved = 0;
    for (size_t p = 0; p < kPixels; ++p)
        moved += work.images[1][kPixels + p] - image0[p];
    EXPECT_NEAR(moved / kPixels, 30000, 5);
}

TEST_F(DrnuCreationTest, PhaseImageHoldsTheSceneInImageRowOrder) {
    nxsim::CameraConfig config = wall_config(1500);
    config.scene.drnu_mm = 0;
    open_camera(config);
    std::vector<uint16_t> image(kPixels);
    ASSERT_EQ(calculationDistanceSorted(image.data(), static_cast<int>(image.size())),
              static_cast<int>(kPixels));
    EXPECT_FALSE(nivex_cap_is_ongoing(&dev_));
    const std::vector<double> truth = cam_.true_distances_mm();
    // The simulated sensor adds 180 mm of electronics delay and 1.7 mm per
    // 0.1 degC above 35.0 degC (0.33765 mm for the board above 33.2 degC).
    const double shift = 180 + 1.7 * (412 - 350) + 0.33765 * (398 - 332);
    const double range = 149896229.0 / 12000;
    double worst = 0;
    for (size_t p = 0; p < kPixels; ++p)
        worst = std::max(worst, std::fabs(image[p] - (truth[p] + shift) / range * 30000));
    EXPECT_LT(worst, 12);
    std::vector<uint16_t> small(kPixels - 1);
    EXPECT_EQ(calculationDistanceSorted(small.data(), static_cast<int>(small.size())), -1);
}

// The sensor warms by 2 degC with every frame the capture hands over.
nxsim::Camera *g_warming_camera = nullptr;
int16_t g_warming_temp = 0;

void warm_on_frame(nivex_device *, nivex_frame *) {
    g_warming_temp = static_cast<int16_t>(g_warming_temp + 20);
    g_warming_camera->set_temperatures(g_warming_temp, g_warming_temp);
}

TEST_F(DrnuCreationTest, SweepThatNeverSettlesEndsAfterTenSweeps) {
    open_camera(sphere_config(), 2);
    g_warming_camera = &cam_;
    g_warming_temp = 0;
    cam_.set_temperatures(0, 0);
    ASSERT_TRUE(nivex_cap_set_callback_on_frame_ready(&dev_, warm_on_frame));
    {
        ProgressRecorder progress;
        ASSERT_EQ(calibrationDRNU(), 0);
    }
    nivex_cap_set_callback_on_frame_ready(&dev_, nullptr);
    // Progress tells each sweep started again, up to the tenth, which ends.
    ASSERT_FALSE(g_reports.empty());
    EXPECT_EQ(g_reports.back(), (ProgressReport{1, 2, 10}));
    for (size_t i = 1; i < g_reports.size(); ++i)
        EXPECT_GE(g_reports[i].sweep, g_reports[i - 1].sweep);
    const std::string log = log_text();
    EXPECT_EQ(count_of(log, "calibrationCreateDRNU_LUT: 0  numAvrFrames= 1"), 10u);
    EXPECT_TRUE(logged("[calibrationDRNU] temperature still drifting after 10 sweeps"));
    // The last sweep stands, though its steps lie far apart.
    const std::vector<int> temps =
        csv_values(data_file(chip_file("kpl_ex_temperature_drnu", "_10.csv")));
    ASSERT_EQ(temps.size(), 2u);
    EXPECT_GT(temps[1] - temps[0], 7);
}

// The closed loop: the calibration measured on the sphere, loaded back by the
// EPC driver of a camera with the same chip, corrects that chip's per-pixel
// error on a wall: far closer to the truth than the same calibration with
// the per-pixel differences taken out.
class DrnuClosedLoopTest : public DrnuCreationTest {
  protected:
    struct Accuracy {
        double rms = 0;
        size_t valid = 0;
    };

    Accuracy measure_wall(int frames) {
        Accuracy acc;
        const std::vector<double> truth = cam_.true_distances_mm();
        std::vector<uint8_t> raw(kFrameBytes);
        std::vector<float> dist(2 * kPixels);
        double squares = 0;
        EXPECT_TRUE(nivex_cap_start(&dev_));
        for (int i = 0; i < frames; ++i) {
            nivex_frame_meta meta{};
            EXPECT_EQ(nivex_cap_get_frames(&dev_, 1, raw.data(), kFrameBytes, &meta), 1);
            EXPECT_GT(nivex_frame_get_distance(&dev_, dist.data(), static_cast<int>(dist.size()),
                                               raw.data(), kFrameBytes, &meta),
                      0);
            for (size_t p = 0; p < kPixels; ++p) {
                if (!(dist[p] > 0 && dist[p] < 60)) continue;
                const double e = dist[p] * 1000.0 - truth[p];
                squares += e * e;
                ++acc.valid;
            }
        }
        nivex_cap_stop(&dev_);
        acc.rms = acc.valid == 0 ? 1e9 : std::sqrt(squares / static_cast<double>(acc.valid));
        return acc;
    }

    // Every image replaced by its mean over the pixels.
    void flatten_images(const std::string &path) {
        std::vector<uint8_t> bytes = read_file(path);
        for (size_t k = 0; k < bytes.size() / (2 * kPixels); ++k) {
            uint8_t *image = &bytes[2 * k * kPixels];
            uint64_t sum = 0;
            for (size_t p = 0; p < kPixels; ++p)
                sum += nx::load_le16(image + 2 * p);
            for (size_t p = 0; p < kPixels; ++p)
                nx::store_le16(image + 2 * p, static_cast<uint16_t>(sum / kPixels));
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
};

TEST_F(DrnuClosedLoopTest, CalibrationBringsTheWallCloseToTheTruth) {
    open_camera(sphere_config(), kSteps, 2);
    ASSERT_EQ(calibrationDRNU(), 0);
    nivex_dev_close(&dev_);
    cam_.unplug();

    cam_ = nxsim::add_camera(wall_config(1500));
    dev_ = nivex_device{};
    ASSERT_EQ(nivex_dev_list(&dev_, 1), 1);
    ASSERT_EQ(open_first(), &dev_);
    ASSERT_EQ(calibrateGetNumDistances(), kSteps);  // the images written above
    nivex_param_entry exposure{};
    exposure.param_id = NIVEX_PARAM_INTG_TIME;
    exposure.param_val_len = 2;
    exposure.param_val.u16 = 700;
    ASSERT_TRUE(nivex_param_batch_set(&dev_, &exposure, 1));
    nivex_filter_args per_pixel{};
    per_pixel.calib_mode = 1;
    ASSERT_GE(nivex_filter_enable(&dev_, NIVEX_FILTER_PIXEL_CALIB, &per_pixel, sizeof per_pixel),
              0);
    ASSERT_GE(nivex_filter_disable(&dev_, NIVEX_FILTER_DEPTH_SMOOTH), 0);
    const Accuracy calibrated = measure_wall(2);

    const int bank = model().calibration()->loaded_bank;
    flatten_images(data_file(chip_file("kpl_ex_images_drnu", "_10.bin")));
    ASSERT_EQ(calibrationLoadDistanceImages(bank), 0);
    const Accuracy flat = measure_wall(2);

    EXPECT_GT(calibrated.valid, kPixels);  // nearly every pixel of both frames
    EXPECT_LT(calibrated.rms, 5.0);
    EXPECT_GT(flat.rms, 3 * calibrated.rms) << "calibrated " << calibrated.rms;
}

}  // namespace
}  // namespace sensortest
