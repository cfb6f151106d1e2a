// Decoded distances against the simulator's ground truth: the per-pixel
// calibration gets down to what the arctangent table's quantisation allows,
// far below the simple calibration, and the temperature compensation holds
// the distances while the sensor warms up.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "accuracy_harness.h"
#include "epc_fixture.h"

namespace epctest {
namespace {

using epcaccuracy::ErrorStats;
using epcaccuracy::Figures;
using epcaccuracy::Scenario;

class Accuracy : public EpcTest {
  protected:
    Figures run(const Scenario &scenario) {
        epcaccuracy::Run run(scenario, dir_.path().string() + "/");
        Figures f = run.figures();
        EXPECT_EQ(f.error, "");
        return f;
    }
    static void print(const char *what, const ErrorStats &s) {
        std::printf("  %-14s mean %7.2f  rms %7.2f  p99 %7.2f  (%zu pixels)\n", what, s.mean, s.rms,
                    s.p99, s.valid);
    }
};

class WallAccuracy : public Accuracy, public ::testing::WithParamInterface<double> {};

TEST_P(WallAccuracy, PerPixelCalibrationReachesTheArctangentFloor) {
    const Figures f = run({.wall_mm = GetParam(), .noise = false, .drift = 0, .frames = 2});
    ASSERT_FALSE(f.frames.empty());
    const ErrorStats simple = f.mean_of(&epcaccuracy::FrameFigures::simple);
    const ErrorStats drnu = f.mean_of(&epcaccuracy::FrameFigures::drnu);
    std::printf("wall %.0f mm, arctangent floor %.2f mm\n", GetParam(), f.floor_mm());
    print("simple", simple);
    print("per pixel", drnu);
    EXPECT_GT(drnu.valid, epcaccuracy::kPixels * 9 / 10);
    EXPECT_LE(drnu.rms, f.floor_mm() + 2.0);
    EXPECT_LE(5 * drnu.rms, simple.rms);
}

INSTANTIATE_TEST_SUITE_P(Walls, WallAccuracy, ::testing::Values(500.0, 1500.0, 3000.0, 6000.0));

TEST_F(Accuracy, TemperatureCompensationHoldsWhileTheSensorWarms) {
    const Figures still = run({.wall_mm = 1500, .noise = false, .drift = 0, .frames = 2});
    nivex_dev_close(&dev_);
    nxsim::reset();
    // 300 degC per minute: 5 degC in about a second.
    const Figures warming = run({.wall_mm = 1500, .noise = false, .drift = 3000, .warm_by = 50});
    ASSERT_FALSE(still.frames.empty());
    ASSERT_GE(warming.frames.size(), 2u);
    const double reference = still.mean_of(&epcaccuracy::FrameFigures::drnu).mean;
    double worst = 0, uncompensated = 0;
    for (const epcaccuracy::FrameFigures &frame : warming.frames) {
        worst = std::max(worst, std::fabs(frame.drnu.mean - reference));
        uncompensated = std::max(uncompensated, std::fabs(frame.uncompensated.mean - reference));
    }
    const int rise = warming.frames.back().sensor_temp - warming.frames.front().sensor_temp;
    std::printf(
        "warming by %.1f degC over %zu frames: compensated off by at most %.2f mm, "
        "uncompensated %.1f mm\n",
        rise / 10.0, warming.frames.size(), worst, uncompensated);
    EXPECT_GE(rise, 50);
    EXPECT_LE(worst, 2.0);
    EXPECT_GT(uncompensated, 70.0);
}

TEST_F(Accuracy, NoiseStaysWithinWhatTheSensorPromises) {
    const Figures f = run({.wall_mm = 1500, .noise = true, .drift = 0, .frames = 3});
    const ErrorStats drnu = f.mean_of(&epcaccuracy::FrameFigures::drnu);
    print("noisy per pixel", drnu);
    // 3 mm at amplitude 1000; this wall is brighter.
    EXPECT_LT(drnu.rms, 5.0);
    EXPECT_LT(std::fabs(drnu.mean), 2.0);
}

}  // namespace
}  // namespace epctest
