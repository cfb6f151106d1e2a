// The exported DRNU calibration-data calls, on the current device's record.
#include <cstring>
#include <string>

#include "nivex_sensorlib.h"
#include "sensorlib/export_guard.h"

using nx::sensor::on_current;
using nx::sensor::SensorModel;

namespace {

// Copies a file name into the caller's buffer of NIVEX_DRNU_NAME_SIZE bytes;
// the result is its length without the common suffix.
int copy_name(char *buf, const std::string &name) {
    const size_t n = std::min(name.size(), size_t{NIVEX_DRNU_NAME_SIZE - 1});
    std::memcpy(buf, name.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n - std::min(n, nx::sensor::kDrnuNameSuffixLength));
}

}  // namespace

extern "C" {

int calibrationGetDistanceImagesName(char *buf, ...) {
    if (buf == nullptr) return -1;
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return copy_name(buf, m.distance_images_name()); });
}
int calibrationGetParamName(char *buf, ...) {
    if (buf == nullptr) return -1;
    return on_current(__func__, -1, [&](SensorModel &m) { return copy_name(buf, m.param_name()); });
}
int calibrationDataFileCheck(int) {
    return on_current(__func__, -1, [](SensorModel &m) { return m.data_file_check(); });
}
int calibrationLoadDRNU_LUT(void) {
    return on_current(__func__, -1, [](SensorModel &m) { return m.load_drnu_params(); });
}
int calibrationLoadDistanceImages(int bank) {
    return on_current(__func__, -1, [&](SensorModel &m) { return m.load_distance_images(bank); });
}

double calibrateGetStepCalMM(void) {
    return on_current(__func__, 0.0,
                      [](SensorModel &m) { return m.calibration()->params().step_cal_mm; });
}
int calibrateGetTempCalib(void) {
    return on_current(__func__, 0,
                      [](SensorModel &m) { return int{m.calibration()->params().temp_cal}; });
}
int calibrateGetIbTempCalib(void) {
    return on_current(__func__, 0,
                      [](SensorModel &m) { return int{m.calibration()->params().temp_cal_ib}; });
}
int calibrateGetNumDistances(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.num_distances(); });
}
int calibrateSetNumDistances(int num_distances) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.set_num_distances(num_distances); });
}
int calibrateGetWidth(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.calib_width(); });
}
int calibrateSetWidth(int width) {
    return on_current(__func__, -1, [&](SensorModel &m) { return m.set_calib_width(width); });
}
int calibrateGetHeight(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.calib_height(); });
}
int calibrateSetHeight(int height) {
    return on_current(__func__, -1, [&](SensorModel &m) { return m.set_calib_height(height); });
}
uint16_t calibrateGetDistImagePixel(int index) {
    return on_current(__func__, uint16_t{0},
                      [&](SensorModel &m) { return m.dist_image_pixel(index); });
}
int calibrateGetoffsetPhaseDefaultFPN(void) {
    return 0;
}

}  // extern "C"
