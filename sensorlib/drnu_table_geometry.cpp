// Geometry of the lookup tables (image size and number of calibration
// distances) and word access into them. Nothing here can reach past a bank:
// geometry that would not fit its capacity is refused, and reads outside what
// was loaded give 0.
#include "common/nx_log.h"
#include "sensorlib/sensor_model.h"

namespace nx::sensor {
namespace {

constexpr int kMinDistances = 2;  // interpolation needs two

}  // namespace

bool SensorModel::geometry_fits(int width, int height, int k) const {
    return width >= 1 && width <= kMaxWidth && height >= 2 && height <= kMaxHeight &&
           height % 2 == 0 && width * height <= kBankPixels && k >= kMinDistances &&
           k <= kMaxDistances;
}

int SensorModel::set_num_distances(int k) {
    std::lock_guard lock(op_mu_);
    if (!geometry_fits(calib_width(), calib_height(), k)) {
        NX_ERR("calibrateSetNumDistances", "[%s] %d distances do not fit a table\n", k);
        return -1;
    }
    num_distances_.store(k);
    return 0;
}

int SensorModel::set_calib_width(int width) {
    std::lock_guard lock(op_mu_);
    if (!geometry_fits(width, calib_height(), num_distances())) {
        NX_ERR("calibrateSetWidth", "[%s] width %d does not fit a table\n", width);
        return -1;
    }
    calib_width_.store(width);
    return 0;
}

int SensorModel::set_calib_height(int height) {
    std::lock_guard lock(op_mu_);
    if (!geometry_fits(calib_width(), height, num_distances())) {
        NX_ERR("calibrateSetHeight", "[%s] height %d does not fit a table\n", height);
        return -1;
    }
    calib_height_.store(height);
    return 0;
}

// Bank 1 holds the table of setting 2 (12 MHz), bank 0 the others.
uint16_t SensorModel::dist_image_pixel(int index) const {
    const std::shared_ptr<const Calibration> cal = calibration();
    const std::shared_ptr<const DrnuBank> &bank = cal->banks[mod_freq_mode() == 2 ? 1 : 0];
    if (!bank || index < 0 || static_cast<size_t>(index) >= bank->lut.size()) return 0;
    return bank->lut[static_cast<size_t>(index)];
}

}  // namespace nx::sensor
