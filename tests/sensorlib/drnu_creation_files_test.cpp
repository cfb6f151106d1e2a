// The file and search steps of the DRNU calibration procedure on images and
// files the tests make themselves, and the file handling of a procedure run
// at another frequency or into a folder it cannot write.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "common/byte_order.h"
#include "drnu_creation_fixture.h"
#include "sensorlib/drnu_creation.h"

namespace sensortest {
namespace {

constexpr size_t kPixels = size_t{kWidth} * kHeight;
constexpr uint16_t kRangeMm = 12491;  // 12 MHz, as the library truncates it

class DrnuFilesTest : public DrnuCreationTest {
  protected:
    void SetUp() override {
        DrnuCreationTest::SetUp();
        configSetWaferID(kWaferId);
        configSetChipID(kChipId);
    }

    nx::sensor::DrnuWork &work() { return model().drnu_work(); }

    // K images of a sensor whose delay line moves every pixel by step_mm a
    // step; each pixel has an error of its own that does not change with
    // the step.
    void fill_images(int k, double step_mm) {
        nx::sensor::DrnuWork &w = work();
        w.width = kWidth;
        w.height = kHeight;
        w.distances = k;
        const double lsb = step_mm * 30000 / kRangeMm;
        std::vector<uint16_t> &bank = w.images[1];  // frequency setting 2
        bank.assign(static_cast<size_t>(k) * kPixels, 0);
        for (int i = 0; i < k; ++i)
            for (size_t p = 0; p < kPixels; ++p)
                bank[i * kPixels + p] = static_cast<uint16_t>(
                    std::lround(1000 + i * lsb + static_cast<double>(p % 13)));
        w.previous_phase.assign(kPixels, 0);
        w.residual.assign(static_cast<size_t>(k) * nx::sensor::kResidualPlaneEntries, 0);
    }

    void write_text(const std::string &name, const std::string &text) {
        std::ofstream(data_file(name)) << text;
    }
};

TEST_F(DrnuFilesTest, TemperatureFileIsAveragedOverTheLinesRead) {
    const std::string name = chip_file("kpl_ex_temperature_drnu", "_10.csv");
    EXPECT_EQ(calibrationLoadTemperatureDRNU(), -1);  // missing
    write_text(name, "400\n410\n420\n");              // 3 of 30 lines
    ASSERT_EQ(calibrationLoadTemperatureDRNU(), 0);
    EXPECT_EQ(work().temp_cal, 410);
    write_text(name, "");
    EXPECT_EQ(calibrationLoadTemperatureDRNU(), -1);
    EXPECT_EQ(work().temp_cal, 410);
    EXPECT_TRUE(logged("holds no temperature"));
}

TEST_F(DrnuFilesTest, SearchFindsTheStepOfTheImages) {
    fill_images(10, 300.0);
    work().temp_cal = 377;
    ASSERT_EQ(calibrationAutoRenew(), 1);
    EXPECT_NEAR(work().step_cal_mm, 300.0, 0.1);
    EXPECT_TRUE(logged("[calibrationAutoRenew] best step (coarse search) : 3000"));
    // The saved parameters carry the step found.
    const std::vector<uint8_t> params =
        read_file(data_file(chip_file("kpl_ex_drnu_param", "_10.bin")));
    ASSERT_EQ(params.size(), 24u);
    EXPECT_EQ(static_cast<int32_t>(nx::load_le32(&params[8])), 377);
    // The residual table belongs to the step found: flat planes.
    const int32_t *plane9 = work().residual.data() + 9 * nx::sensor::kResidualPlaneEntries;
    EXPECT_LE(std::abs(plane9[0] - work().residual[0]), 1);
}

TEST_F(DrnuFilesTest, StepAtTheEndOfTheSearchRangeIsNoMinimum) {
    fill_images(10, 260.0);
    work().step_cal_mm = 123.0;
    EXPECT_EQ(calibrationAutoRenew(), 0);
    EXPECT_TRUE(
        logged("[WRN] [calibrationAutoRenew]  cannot find best step between 2700 ~ 3400\n"));
    EXPECT_EQ(work().step_cal_mm, 123.0);
}

TEST_F(DrnuFilesTest, ResidualTableFromTheStoredImages) {
    fill_images(4, 290.0);
    ASSERT_EQ(calibrationDRNU_FromFile(2900), 0);
    const nx::sensor::DrnuWork &w = work();
    EXPECT_EQ(w.step_cal_mm, 290.0);
    // offset = mean of image 0; pixel (row 1, column 5) of plane 3.
    const double lsb = 290.0 * 30000 / kRangeMm;
    const size_t p = kWidth + 5;
    const double expected = w.images[1][3 * kPixels + p] - w.offset_drnu - 3 * lsb;
    EXPECT_EQ(w.residual[3 * nx::sensor::kResidualPlaneEntries + 328 + 5], std::lround(expected));
    std::ifstream text(data_file(chip_file("kpl_ex_drnu", "_10.csv")));
    std::string f, o, t, s;
    text >> f >> o >> t >> s;
    EXPECT_EQ(s, "290.0000");
}

TEST_F(DrnuFilesTest, StepsWithoutImagesFail) {
    EXPECT_EQ(calibrationSaveDistanceImages(), -1);
    EXPECT_EQ(calibrationDRNU_FromFile(2800), -1);
    EXPECT_EQ(calibrationAutoRenew(), 0);
    EXPECT_EQ(_construct_calib_param_pk(0), -1);
    EXPECT_TRUE(logged("[_construct_calib_param_pk] open param failed\n"));
}

TEST_F(DrnuCreationTest, FilesOfAFasterRunCarryItsTagAndArePackaged) {
    open_camera(sphere_config(), 3);
    ASSERT_EQ(configSetModulationFrequency(1, 32), 0);
    ASSERT_EQ(configGetModulationFrequency(), 24000);
    ASSERT_EQ(calibrationDRNU(), 0);
    const std::string images = data_file(chip_file("kpl_ex_images_drnu", "_20.bin"));
    const std::string params = data_file(chip_file("kpl_ex_drnu_param", "_10.bin"));
    EXPECT_TRUE(file_exists(data_file(chip_file("kpl_ex_temperature_drnu", "_20.csv"))));
    EXPECT_FALSE(file_exists(data_file(chip_file("kpl_ex_images_drnu", "_10.bin"))));
    std::vector<uint8_t> expected = read_file(params);
    ASSERT_EQ(expected.size(), 24u);
    EXPECT_EQ(nx::load_le32(&expected[0]), 24000u);
    const std::vector<uint8_t> image_bytes = read_file(images);
    ASSERT_EQ(image_bytes.size(), 3 * kPixels * 2);
    expected.insert(expected.end(), image_bytes.begin(), image_bytes.end());
    EXPECT_EQ(read_file(data_file("calib_and_param_007.bin")), expected);

    // Without its images the package is refused, not built from another file.
    std::remove(images.c_str());
    std::remove(data_file("calib_and_param_007.bin").c_str());
    EXPECT_EQ(_construct_calib_param_pk(0), -1);
    EXPECT_FALSE(file_exists(data_file("calib_and_param_007.bin")));
}

TEST_F(DrnuCreationTest, ProcedureThatCannotWriteItsFilesFails) {
    open_camera(sphere_config(), 3);
    std::ofstream(dir_.file("blocker")) << "a file, not a folder";
    nivex_path_cfg((dir_.file("blocker") + "/").c_str());
    EXPECT_EQ(calibrationDRNU(), -1);
    EXPECT_EQ(static_cast<uint8_t>(cam_.reg(1, 0xAE)), 1);
    EXPECT_EQ(static_cast<uint8_t>(cam_.reg(1, 0x73)), 0);
}

}  // namespace
}  // namespace sensortest
