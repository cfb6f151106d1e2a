// Names of this chip's DRNU calibration files: formed from its wafer and chip
// ID, with the forms of the small sensor variants (part types 4 and 5).
#include <cstdio>

#include "common/nx_log.h"
#include "sensorlib/data_file.h"
#include "sensorlib/drnu_work.h"
#include "sensorlib/sensor_model.h"

namespace nx::sensor {
namespace {

constexpr const char *kCheckFn = "calibrationDataFileCheck";

std::string chip_name(const char *kind, int wafer_id, int chip_id) {
    return chip_file_name(kind, wafer_id, chip_id, kDrnuNameSuffix);
}

}  // namespace

std::string chip_file_name(const char *kind, int wafer_id, int chip_id, const char *suffix) {
    char name[96];
    std::snprintf(name, sizeof name, "%s_W%03i_C%03i%s", kind, wafer_id, chip_id, suffix);
    return name;
}

std::string SensorModel::distance_images_name() const {
    return chip_name(small_sensor() ? "epc635_images_drnu" : "kpl_ex_images_drnu", wafer_id(),
                     chip_id());
}

std::string SensorModel::param_name() const {
    return chip_name(small_sensor() ? "epc635_drnu_param" : "kpl_ex_drnu_param", wafer_id(),
                     chip_id());
}

int SensorModel::data_file_check() const {
    const std::string path = data_path(dev_.load(), distance_images_name());
    if (open_for_reading(path)) {
        NX_DBG(kCheckFn, "[%s] Find %s\n", path.c_str());
        return 0;
    }
    NX_DBG(kCheckFn, "[%s] Can not open %s file\n", path.c_str());
    return -1;
}

}  // namespace nx::sensor
