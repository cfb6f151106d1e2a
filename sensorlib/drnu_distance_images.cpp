// The distance-images file: K phase images taken at the calibration distances
// 295 mm + k x step. It becomes a lookup-table bank (per pixel, in readout
// order, its K phases) and gives the distance scale and offset of the simple
// calibration.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "common/nx_log.h"
#include "sensorlib/data_file.h"
#include "sensorlib/dcs_row_order.h"
#include "sensorlib/sensor_model.h"

namespace nx::sensor {
namespace {

constexpr const char *kFn = "calibrationLoadDistanceImages";
constexpr int k36MhzKhz = 36000;
constexpr int kDistancesAt36Mhz = 20;
constexpr int kMinImages = 2;  // a scale needs two distances
constexpr uint16_t kMaxMeasured = 59999;
constexpr float kSpeedOfLightDiv2 = 149896224.0f;  // 149896229 as a float holds it
constexpr float kPhasePeriod = 30000.0f;

bool measured(uint16_t phase) {
    return phase >= 1 && phase <= kMaxMeasured;
}

// Unsigned integer mean of the measured values of one image; empty when it
// holds none.
std::optional<uint64_t> measured_mean(const uint16_t *image, size_t pixels) {
    uint64_t sum = 0;
    uint64_t count = 0;
    for (size_t p = 0; p < pixels; ++p) {
        if (!measured(image[p])) continue;
        sum += image[p];
        ++count;
    }
    if (count == 0) return std::nullopt;
    return sum / count;
}

bool read_images(std::FILE *file, std::vector<uint16_t> &words) {
    if (std::fread(words.data(), sizeof(uint16_t), words.size(), file) != words.size())
        return false;
    if constexpr (std::endian::native == std::endian::big) {
        for (uint16_t &w : words)
            w = static_cast<uint16_t>(w >> 8 | w << 8);
    }
    return true;
}

// Builds the bank: each image goes to readout order, then pixel p's K
// phases are stored together, image order kept.
std::shared_ptr<DrnuBank> build_bank(const std::vector<uint16_t> &images, int width, int height,
                                     int k) {
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t distances = static_cast<size_t>(k);
    auto bank = std::make_shared<DrnuBank>();
    bank->width = width;
    bank->height = height;
    bank->num_distances = k;
    bank->lut.resize(pixels * distances);
    bank->max.assign(pixels, 0);
    bank->min.assign(pixels, UINT16_MAX);
    std::vector<uint16_t> readout(pixels);
    for (size_t img = 0; img < distances; ++img) {
        dcs_unsort(readout.data(), images.data() + img * pixels, width, height);
        for (size_t p = 0; p < pixels; ++p) {
            const uint16_t v = readout[p];
            bank->lut[p * distances + img] = v;
            bank->max[p] = std::max(bank->max[p], v);
            bank->min[p] = std::min(bank->min[p], v);
        }
    }
    return bank;
}

// Two points of the distance line: the mean phase of image 0 at 295 mm and of
// image K/2 at 295 mm + K/2 steps. Refused (0/0) when either image holds no
// measured value or both measure the same distance.
void derive_scale_offset(Calibration &cal, const std::vector<uint16_t> &images, int width,
                         int height, int k) {
    cal.scale_permille = 0;
    cal.offset_mm = 0;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    const int middle = k / 2;
    const std::optional<uint64_t> a0 = measured_mean(images.data(), pixels);
    const std::optional<uint64_t> a1 =
        measured_mean(images.data() + static_cast<size_t>(middle) * pixels, pixels);
    if (!a0 || !a1) {
        NX_WRN(kFn, "[%s] image %d holds no measured value: no distance scale/offset\n",
               a0 ? middle : 0);
        return;
    }
    const float range_mm = kSpeedOfLightDiv2 / static_cast<float>(cal.calib_freq_khz);
    const float t0 = static_cast<float>(*a0) * range_mm / kPhasePeriod;
    const float t1 = static_cast<float>(*a1) * range_mm / kPhasePeriod;
    const int d0 = kFirstDistanceMm;
    const int d1 = static_cast<int>(std::trunc(cal.sets[0].step_cal_mm * middle)) + d0;
    if (d1 == d0) {
        NX_WRN(kFn, "[%s] no calibration distance step: no distance scale/offset\n");
        return;
    }
    if (t1 == t0) {
        NX_WRN(kFn, "[%s] images 0 and %d measure the same distance: no distance scale/offset\n",
               middle);
        return;
    }
    const float scale = static_cast<float>(d1 - d0) / (t1 - t0);
    const float offset = static_cast<float>(d0) - t0 * scale;
    NX_DBG(kFn, "[%s] calib scale/offset = %.2f/%.2f \n", static_cast<double>(scale),
           static_cast<double>(offset));
    constexpr float kLimit = static_cast<float>(std::numeric_limits<int32_t>::max() / 2);
    if (!std::isfinite(scale * 1000.0f) || std::fabs(scale * 1000.0f) > kLimit ||
        std::fabs(offset) > kLimit) {
        NX_WRN(kFn, "[%s] distance scale/offset out of range: not used\n");
        return;
    }
    cal.scale_permille = static_cast<int32_t>(std::trunc(scale * 1000.0f));
    cal.offset_mm = static_cast<int32_t>(std::lround(offset));
}

}  // namespace

int SensorModel::load_distance_images(int bank) {
    std::lock_guard lock(op_mu_);
    return load_distance_images_locked(bank);
}

int SensorModel::load_distance_images_locked(int bank) {
    if (bank < 0 || bank >= kBankCount) {
        NX_ERR(kFn, "[%s] no lookup-table bank %d\n", bank);
        return -1;
    }
    const int width = calib_width();
    const int height = calib_height();
    const size_t image_bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 2;
    const std::string path = data_path(dev_.load(), distance_images_name());
    FilePtr file = open_for_reading(path);
    if (!file) {
        NX_DBG(kFn, "[%s] Can not open %s file\n", path.c_str());
        return -1;
    }
    int k = kMaxDistances;
    const std::optional<long> size = file_size(file.get());
    if (size && *size >= 1)
        k = static_cast<int>(std::min<size_t>(static_cast<size_t>(*size) / image_bytes, k));
    if (modulation_khz() == k36MhzKhz) k = kDistancesAt36Mhz;
    NX_DBG(kFn, "[%s] %s\n", path.c_str());
    if (k < kMinImages) {
        NX_ERR(kFn, "[%s] Loading failed\n");
        return -1;
    }

    std::vector<uint16_t> images;
    std::shared_ptr<Calibration> cal;
    std::shared_ptr<DrnuBank> built;
    try {
        images.resize(image_bytes / 2 * static_cast<size_t>(k));
        if (!read_images(file.get(), images)) {
            NX_ERR(kFn, "[%s] Loading failed\n");
            return -1;
        }
        cal = std::make_shared<Calibration>(*calibration());
        built = build_bank(images, width, height, k);
    } catch (const std::bad_alloc &) {
        NX_ERR(kFn, "[%s] malloc failed\n");
        drnu_mode_.store(0);
        return -1;
    }
    derive_scale_offset(*cal, images, width, height, k);
    cal->banks[static_cast<size_t>(bank)] = std::move(built);
    cal->loaded_bank = bank;
    num_distances_.store(k);
    publish(std::move(cal));
    return 0;
}

}  // namespace nx::sensor
