// The distance of one delay step: the residual table for a given step, the
// step-quality measure (how much the per-step mean residuals still vary), the
// search for the step that makes them flattest, and the comparison of the
// measured step with the chip's own delay calibration.
#include <cmath>
#include <vector>

#include "common/nx_log.h"
#include "sensorlib/drnu_creation.h"

namespace nx::sensor {
namespace {

constexpr const char *kFromFileFn = "calibrationDRNU_FromFile";
constexpr const char *kQualityFn = "_calibrationCalcDRNUStd";
constexpr const char *kRenewFn = "calibrationAutoRenew";
constexpr const char *kTestStepFn = "calibrationTestStep";
constexpr int kCoarseFirst = 2700;  // 0.1 mm
constexpr int kCoarseLast = 3400;
constexpr int kCoarseStride = 20;
constexpr int kFineReach = 19;
constexpr float kNoMeasure = 1e9f;

int32_t image0_mean(const DrnuWork &work, int bank) {
    const std::vector<uint16_t> &images = work.images[static_cast<size_t>(bank)];
    int64_t sum = 0;
    for (size_t i = 0; i < work.pixels(); ++i)
        sum += images[i];
    return static_cast<int32_t>(sum / static_cast<int64_t>(work.pixels()));
}

// The range in mm, as an unsigned 16-bit value; 0 when unknown.
uint16_t range_mm(const SensorModel &model) {
    const int khz = model.modulation_khz();
    return khz > 0 ? static_cast<uint16_t>(static_cast<int64_t>(speed_div2(model) / khz)) : 0;
}

// Residuals of every stored image against the line offset + k x step.
void fill_residuals(DrnuWork &work, int bank, double step_lsb) {
    const std::vector<uint16_t> &images = work.images[static_cast<size_t>(bank)];
    const size_t pixels = work.pixels();
    for (int k = 0; k < work.distances; ++k) {
        const uint16_t *image = images.data() + static_cast<size_t>(k) * pixels;
        int32_t *plane = work.residual.data() + static_cast<size_t>(k) * kResidualPlaneEntries;
        for (int r = 0; r < work.height; ++r) {
            for (int c = 0; c < work.width; ++c) {
                const double v = image[static_cast<size_t>(r * work.width + c)] - work.offset_drnu -
                                 k * step_lsb;
                plane[static_cast<size_t>(r * kMaxWidth + c)] =
                    static_cast<int32_t>(std::lround(v));
            }
        }
    }
}

struct PlaneSpread {
    float avg = 0;
    float var = 0;
};

// Mean residual of every plane, their average and their variance.
PlaneSpread plane_spread(const DrnuWork &work) {
    const auto pixels = static_cast<int64_t>(work.pixels());
    std::vector<int16_t> means(static_cast<size_t>(work.distances));
    float total = 0;
    for (int k = 0; k < work.distances; ++k) {
        const int32_t *plane =
            work.residual.data() + static_cast<size_t>(k) * kResidualPlaneEntries;
        int64_t sum = 0;
        for (int r = 0; r < work.height; ++r)
            for (int c = 0; c < work.width; ++c)
                sum += plane[static_cast<size_t>(r * kMaxWidth + c)];
        means[static_cast<size_t>(k)] = static_cast<int16_t>(sum / pixels);
        total += means[static_cast<size_t>(k)];
    }
    PlaneSpread s;
    s.avg = total / static_cast<float>(work.distances);
    for (int16_t m : means)
        s.var += (m - s.avg) * (m - s.avg);
    s.var /= static_cast<float>(work.distances);
    return s;
}

}  // namespace

int test_step_locked(SensorModel &model, DrnuWork &work) {
    uint8_t code = 0;
    if (model.i2c(model.device_address(), 'r', kRegDelayCode, 1, &code) != 0) {
        NX_ERR(kTestStepFn, "[%s] delay code not readable\n");
        return -1;
    }
    const double f = model.modulation_khz();
    const double s = speed_div2(model);
    const double step_lsb = work.step_cal_mm * kPhasePeriod * f / s;
    const double delay_new =
        step_lsb / (kDelayLsbFactor * f / s) - (work.temp_cal - kReferenceTemp) * kDelayTempCoefNs;
    const auto code_new =
        static_cast<int>(std::trunc((delay_new - kNominalDelayNs) / kDelayPerCodeNs + kMiddleCode));
    NX_INF(kTestStepFn,
           "[%s] orgDelCal= %d  newDelCal= %d  delayCalOrg= %2.4f  delayCalNew= %2.4f  "
           "gStepCalMM= %2.4f  stepLSB= %2.4f\n",
           code, code_new, (code - kMiddleCode) * kDelayPerCodeNs + kNominalDelayNs, delay_new,
           work.step_cal_mm, step_lsb);
    return 0;
}

int from_file_locked(SensorModel &model, DrnuWork &work, int step10) {
    work.step_cal_mm = step10 / 10.0;
    load_temperatures_locked(model, work);
    const int bank = active_bank(model);
    const uint16_t range = range_mm(model);
    if (!work.holds_images(bank) || range == 0) {
        NX_ERR(kFromFileFn, "[%s] no distance images measured\n");
        return -1;
    }
    const double step_lsb = work.step_cal_mm * kPhasePeriod / range;
    work.offset_drnu = image0_mean(work, bank);
    if (model.calc_params().print_level > 1)
        NX_INF(kFromFileFn, "[%s] gStepCalMM= %2.4f, stepLSB= %2.2f offsetDRNU= %d\n",
               work.step_cal_mm, step_lsb, work.offset_drnu);
    fill_residuals(work, bank, step_lsb);
    const int saved = save_lut_locked(model, work);
    const PlaneSpread spread = plane_spread(work);
    NX_INF(kFromFileFn, "[%s] drnu_avr: avg = %.2f, std^2=%.2f\n", static_cast<double>(spread.avg),
           static_cast<double>(spread.var));
    return saved;
}

float step_quality_locked(SensorModel &model, DrnuWork &work, int step10, int bank) {
    const uint16_t range = range_mm(model);
    if (bank < 0 || bank >= kBankCount || !work.holds_images(bank) || range == 0) return kNoMeasure;
    const float step_lsb = static_cast<float>(step10) / 10.0f * static_cast<float>(kPhasePeriod) /
                           static_cast<float>(range);
    fill_residuals(work, bank, step_lsb);
    const PlaneSpread spread = plane_spread(work);
    NX_DBG(kQualityFn, "[%s] drnu_avr: avg = %.2f, std^2=%.2f\n", static_cast<double>(spread.avg),
           static_cast<double>(spread.var));
    return spread.var;
}

// Coarse search over 270.0 ... 340.0 mm in 2 mm strides, then 0.1 mm strides
// around the best; a best step at either end of the coarse range is no
// minimum and leaves the step as it was.
int auto_renew_locked(SensorModel &model, DrnuWork &work) {
    load_temperatures_locked(model, work);
    const int bank = active_bank(model);
    if (!work.holds_images(bank)) {
        NX_ERR(kRenewFn, "[%s] no distance images measured\n");
        return 0;
    }
    work.offset_drnu = image0_mean(work, bank);
    float best = kNoMeasure;
    int best_step = -1;
    for (int s = kCoarseFirst; s <= kCoarseLast; s += kCoarseStride) {
        const float v = step_quality_locked(model, work, s, bank);
        if (v < best) {
            best = v;
            best_step = s;
        }
    }
    if (best_step < 0 || best_step == kCoarseFirst || best_step == kCoarseLast) {
        NX_WRN(kRenewFn, "[%s]  cannot find best step between %d ~ %d\n", kCoarseFirst,
               kCoarseLast);
        return 0;
    }
    NX_INF(kRenewFn, "[%s] best step (coarse search) : %d, std = %.2f\n", best_step,
           static_cast<double>(best));
    const int coarse = best_step;
    for (int s = coarse - kFineReach; s <= coarse + kFineReach; ++s) {
        const float v = step_quality_locked(model, work, s, bank);
        if (v < best) {
            best = v;
            best_step = s;
        }
    }
    NX_INF(kRenewFn, "[%s] best step (fine search) : %d, std = %.2f\n", best_step,
           static_cast<double>(best));
    work.step_cal_mm = best_step / 10.0;
    // The table the search left behind belongs to its last candidate.
    step_quality_locked(model, work, best_step, bank);
    save_lut_locked(model, work);
    return 1;
}

}  // namespace nx::sensor
