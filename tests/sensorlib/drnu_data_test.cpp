// DRNU calibration data: file names, parameter files, distance images, the
// lookup-table layout and the distance scale and offset.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "sensor_fixture.h"

namespace sensortest {
namespace {

using DrnuTest = SensorTest;

uint16_t ramp(int k, int y, int x) {
    return static_cast<uint16_t>(1000 + 300 * k + (y + x) % 7);
}

// Unique per image and distinct enough per pixel to find misplaced words.
uint16_t coded(int k, int y, int x) {
    return static_cast<uint16_t>(k * 2000 + (y % 40) * 40 + x % 40 + 1);
}

TEST_F(DrnuTest, FileNamesOfBothSensorForms) {
    char buf[NIVEX_DRNU_NAME_SIZE];
    configSetWaferID(1042);
    configSetChipID(7);
    configSetPartType(2);
    EXPECT_EQ(calibrationGetDistanceImagesName(buf), 29);
    EXPECT_STREQ(buf, "kpl_ex_images_drnu_W1042_C007_10.bin");
    EXPECT_EQ(calibrationGetParamName(buf, 0), 28);  // a second argument is accepted
    EXPECT_STREQ(buf, "kpl_ex_drnu_param_W1042_C007_10.bin");
    configSetWaferID(3);
    configSetChipID(65535);
    for (int part_type : {4, 5}) {
        configSetPartType(part_type);
        calibrationGetDistanceImagesName(buf);
        EXPECT_STREQ(buf, "epc635_images_drnu_W003_C65535_10.bin");
        calibrationGetParamName(buf);
        EXPECT_STREQ(buf, "epc635_drnu_param_W003_C65535_10.bin");
    }
    EXPECT_EQ(calibrationGetParamName(nullptr), -1);
}

TEST_F(DrnuTest, DataFileCheckLooksInTheDataFolder) {
    open_and_bind();
    const std::string path = dir_.file(images_name());
    EXPECT_EQ(calibrationDataFileCheck(0), -1);
    EXPECT_TRUE(logged("[calibrationDataFileCheck] Can not open " + path + " file\n"));
    write_images(images_name(), make_images(2, kWidth, kHeight, ramp));
    EXPECT_EQ(calibrationDataFileCheck(1), 0);
    EXPECT_TRUE(logged("[calibrationDataFileCheck] Find " + path + "\n"));
}

TEST_F(DrnuTest, ParameterFilesOfEachLength) {
    open_and_bind();  // no file: the built-in values
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 298.2);
    EXPECT_EQ(calibrateGetTempCalib(), 361);
    EXPECT_EQ(calibrateGetIbTempCalib(), 341);
    // 885000 / trunc(149896229 / 120000) - 8364, truncated.
    EXPECT_EQ(model().calibration()->default_offset_phase, -7655);

    write_data_file(params_name(), param_file(24000, 8000, 300, 290.5, 310));
    cam_.clear_wire_log();
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_TRUE(logged("[calibrationLoadDRNU_LUT] Clib Freq:24000 k\n"));
    EXPECT_EQ(configGetModFreqMode(), 1);
    EXPECT_EQ(cam_.modulation_khz(), 24000u);
    EXPECT_EQ(sensor_writes(cam_.wire_log()),
              (std::vector<RegAccess>{write_of(133, {0}), write_of(128, {63})}));
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 290.5);
    EXPECT_EQ(calibrateGetTempCalib(), 300);
    EXPECT_EQ(calibrateGetIbTempCalib(), 310);

    write_data_file(params_name(), param_file(8100, 305, 291.25, 315));
    cam_.clear_wire_log();
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_TRUE(logged("[calibrationLoadDRNU_LUT] Clib Freq:12000 k\n"));
    EXPECT_EQ(configGetModFreqMode(), 1);  // untouched
    EXPECT_TRUE(cam_.wire_log().empty());
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 291.25);
    EXPECT_EQ(calibrateGetIbTempCalib(), 315);

    write_data_file(params_name(), param_file(8200, 320, 292.0));
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_EQ(calibrateGetTempCalib(), 320);
    EXPECT_EQ(calibrateGetIbTempCalib(), 320);

    write_data_file(params_name(), param_file(20000, 8300, 330, 293.0, 333));
    ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
    EXPECT_TRUE(logged("[ERR] [calibrationLoadDRNU_LUT] Not supported freq\n"));
    EXPECT_EQ(configGetModFreqMode(), 1);
    EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 293.0);
}

TEST_F(DrnuTest, DamagedParameterFilesGiveTheBuiltInValues) {
    open_and_bind();
    for (size_t length : {0, 10, 19, 22, 25}) {
        write_data_file(params_name(), param_file(8000, 300, 290.5, 310));
        ASSERT_EQ(calibrationLoadDRNU_LUT(), 0);
        std::vector<uint8_t> damaged = param_file(24000, 8000, 300, 290.5, 310);
        damaged.resize(length, 0);
        write_data_file(params_name(), damaged);
        EXPECT_EQ(calibrationLoadDRNU_LUT(), -1) << length;
        EXPECT_DOUBLE_EQ(calibrateGetStepCalMM(), 298.2) << length;
        EXPECT_EQ(calibrateGetTempCalib(), 361) << length;
    }
    write_data_file(params_name(), param_file(8000, 300, std::nan(""), 310));
    EXPECT_EQ(calibrationLoadDRNU_LUT(), -1);
    EXPECT_EQ(calibrateGetIbTempCalib(), 341);
}

TEST_F(DrnuTest, NumberOfDistancesFollowsTheFile) {
    open_and_bind();
    for (auto [count, expected] : {std::pair{31, 30}, {30, 30}, {10, 10}, {2, 2}}) {
        write_images(images_name(), make_images(count, kWidth, kHeight, ramp));
        EXPECT_EQ(calibrationLoadDistanceImages(1), 0) << count;
        EXPECT_EQ(calibrateGetNumDistances(), expected) << count;
    }
    // Fewer than two images cannot give a distance line; an empty file is
    // read as 30 images and is short.
    const uint16_t first = calibrateGetDistImagePixel(0);
    for (int count : {1, 0}) {
        write_images(images_name(), make_images(count, kWidth, kHeight, ramp));
        EXPECT_EQ(calibrationLoadDistanceImages(1), -1) << count;
    }
    write_data_file(images_name(), std::vector<uint8_t>(100, 1));
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_TRUE(logged("[ERR] [calibrationLoadDistanceImages] Loading failed\n"));
    EXPECT_EQ(calibrateGetNumDistances(), 2);  // the table loaded last is kept whole
    EXPECT_EQ(calibrateGetDistImagePixel(0), first);
    EXPECT_EQ(calibrationLoadDistanceImages(2), -1);

    std::filesystem::remove(dir_.file(images_name()));
    EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    EXPECT_TRUE(logged("[calibrationLoadDistanceImages] Can not open " + dir_.file(images_name()) +
                       " file\n"));
}

TEST_F(DrnuTest, At36MhzTwentyImagesAreRead) {
    open_and_bind();
    ASSERT_EQ(configSetModulationFrequency(0, 32), 0);
    write_images(images_name(), make_images(10, kWidth, kHeight, ramp));
    EXPECT_EQ(calibrationLoadDistanceImages(0), -1);
    EXPECT_TRUE(logged("[ERR] [calibrationLoadDistanceImages] Loading failed\n"));
    write_images(images_name(), make_images(25, kWidth, kHeight, ramp));
    EXPECT_EQ(calibrationLoadDistanceImages(0), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 20);
}

TEST_F(DrnuTest, LookupTableHoldsEachPixelsImagesAtItsReadoutPosition) {
    write_images(images_name(), make_images(30, kWidth, kHeight, coded));
    open_and_bind();  // setting 2, extended mode off: bank 1, which the accessor reads
    auto bank = model().calibration()->banks[1];
    ASSERT_NE(bank, nullptr);
    for (auto [y, x] : {std::pair{0, 0}, {119, 5}, {120, 319}, {239, 17}, {57, 200}}) {
        const int readout_row = y < kHeight / 2 ? kHeight - 2 - 2 * y : 2 * (y - kHeight / 2) + 1;
        const int pixel = readout_row * kWidth + x;
        for (int k = 0; k < 30; ++k)
            ASSERT_EQ(calibrateGetDistImagePixel(pixel * 30 + k), coded(k, y, x)) << y << "," << x;
        EXPECT_EQ(bank->max[static_cast<size_t>(pixel)], coded(29, y, x));
        EXPECT_EQ(bank->min[static_cast<size_t>(pixel)], coded(0, y, x));
    }
    EXPECT_EQ(calibrateGetDistImagePixel(-1), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(30 * kWidth * kHeight), 0);
    EXPECT_EQ(calibrateGetDistImagePixel(INT_MAX), 0);
}

// Image 0 at 295 mm, image 15 at 295 + trunc(15 x 298.2) = 4768 mm; values 0
// and 60000 and above are not measured and stay out of the means.
TEST_F(DrnuTest, ScaleAndOffsetFromImagesZeroAndHalfway) {
    write_data_file(params_name(), param_file(8364, 361, 298.2, 341));
    write_images(images_name(), make_images(30, kWidth, kHeight, [](int k, int y, int) {
                     if (k == 0) return static_cast<uint16_t>(y % 2 ? 700 : 0);
                     if (k == 15) return static_cast<uint16_t>(y % 2 ? 11400 : 61000);
                     return uint16_t{5000};
                 }));
    open_and_bind();
    const float range = 149896224.0f / 12000.0f;
    const float t0 = 700.0f * range / 30000.0f;
    const float t1 = 11400.0f * range / 30000.0f;
    const float scale = static_cast<float>(4768 - 295) / (t1 - t0);
    const float offset = 295.0f - t0 * scale;
    auto cal = model().calibration();
    EXPECT_EQ(cal->scale_permille, static_cast<int32_t>(scale * 1000.0f));
    EXPECT_EQ(cal->offset_mm, std::lround(offset));
    EXPECT_EQ(cal->scale_permille, 1003);  // the same, worked by hand
    EXPECT_EQ(cal->offset_mm, 2);
    char line[96];
    std::snprintf(line, sizeof line,
                  "[calibrationLoadDistanceImages] calib scale/offset = %.2f/%.2f \n",
                  static_cast<double>(scale), static_cast<double>(offset));
    EXPECT_TRUE(logged(line));
}

TEST_F(DrnuTest, ImagesWithoutMeasuredValuesGiveNoScale) {
    open_and_bind();
    auto load = [&](uint16_t (*phase)(int, int, int)) {
        write_images(images_name(), make_images(10, kWidth, kHeight, ramp));
        EXPECT_EQ(calibrationLoadDistanceImages(1), 0);
        EXPECT_NE(model().calibration()->scale_permille, 0);
        write_images(images_name(), make_images(10, kWidth, kHeight, phase));
        EXPECT_EQ(calibrationLoadDistanceImages(1), 0);  // the table itself is fine
        EXPECT_EQ(model().calibration()->scale_permille, 0);
        EXPECT_EQ(model().calibration()->offset_mm, 0);
    };
    load([](int k, int, int) { return static_cast<uint16_t>(k == 0 ? 0 : 3000); });
    EXPECT_TRUE(logged("[WRN] [calibrationLoadDistanceImages] image 0 holds no measured value"));
    load([](int k, int, int) { return static_cast<uint16_t>(k == 5 ? 60000 : 3000); });
    EXPECT_TRUE(logged("[WRN] [calibrationLoadDistanceImages] image 5 holds no measured value"));
    load([](int, int, int) { return uint16_t{3000}; });
    EXPECT_TRUE(logged("images 0 and 5 measure the same distance"));
}

TEST_F(DrnuTest, TableGeometryCannotOverrunABank) {
    for (int k : {31, 1, 0, -5})
        EXPECT_EQ(calibrateSetNumDistances(k), -1) << k;
    EXPECT_EQ(calibrateSetNumDistances(20), 0);
    EXPECT_EQ(calibrateGetNumDistances(), 20);
    for (int w : {329, 0, -1})
        EXPECT_EQ(calibrateSetWidth(w), -1) << w;
    for (int h : {253, 254, 241, 0})
        EXPECT_EQ(calibrateSetHeight(h), -1) << h;
    ASSERT_EQ(calibrateSetWidth(328), 0);
    ASSERT_EQ(calibrateSetHeight(252), 0);  // 82656 pixels: the whole bank
    EXPECT_EQ(calibrateGetWidth(), 328);
    EXPECT_EQ(calibrateGetHeight(), 252);

    char name[NIVEX_DRNU_NAME_SIZE];
    calibrationGetDistanceImagesName(name);
    write_images(name, make_images(2, 328, 252, coded));
    ASSERT_EQ(calibrationLoadDistanceImages(1), 0);
    // The last readout row is the image's last row.
    EXPECT_EQ(calibrateGetDistImagePixel(2 * 82656 - 1), coded(1, 251, 327));
    EXPECT_EQ(calibrateGetDistImagePixel(2 * 82656), 0);
}

}  // namespace
}  // namespace sensortest
