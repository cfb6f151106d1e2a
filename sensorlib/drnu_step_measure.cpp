// One delay step of the procedure: n phase images averaged per pixel (with
// the phase unwrapped across the period against the previous step), the
// step's mean temperatures, its image in the distance-images bank and its
// plane of the residual table.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "common/nx_log.h"
#include "sensorlib/drnu_creation.h"

namespace nx::sensor {
namespace {

constexpr const char *kFn = "calibrationCreateDRNU_LUT";
constexpr double kDefaultSpeedDiv2 = 149896229.0;

// The tables for width x height pixels and k steps; a change of geometry
// starts them afresh. Throws std::bad_alloc.
void size_tables(DrnuWork &work, int width, int height, int k) {
    if (work.width == width && work.height == height && work.distances == k &&
        !work.residual.empty())
        return;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t steps = static_cast<size_t>(k);
    for (std::vector<uint16_t> &bank : work.images)
        bank.assign(pixels * steps, 0);
    work.previous_phase.assign(pixels, 0);
    work.residual.assign(steps * kResidualPlaneEntries, 0);
    work.width = width;
    work.height = height;
    work.distances = k;
}

// A running capture holds frames taken before the delay line moved: it
// starts over, so that every frame of the step is taken after the change.
// (Without a running capture each image comes from a capture of its own.)
void drop_older_frames(SensorModel &model) {
    nivex_device *dev = model.device();
    if (dev == nullptr || !nivex_cap_is_ongoing(dev)) return;
    nivex_cap_stop(dev);
    if (!nivex_cap_start(dev)) NX_ERR(kFn, "[%s] capture does not start again\n");
}

struct StepTemperatures {
    int64_t sensor_sum = 0;
    int64_t board_sum = 0;
};

// Takes one frame into the accumulators; false when no image or no
// temperatures could be read.
bool accumulate(SensorModel &model, DrnuWork &work, int step, int delay_us,
                std::vector<uint16_t> &image, std::vector<int32_t> &acc, StepTemperatures &t) {
    if (delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    if (phase_image(model, image, work.width, work.height) < 0) return false;
    std::array<int16_t, kTemperatureReadings> r{};
    if (!read_temperatures(model, r)) return false;
    const int sensor = (r[0] + r[1] + r[2] + r[3]) / 4;
    const int board = r[4];
    NX_INF(kFn, "[%s] Tib:%d,%d\n", board, 4);
    NX_INF(kFn, "[%s] Tsensor:%d\n", sensor);
    t.sensor_sum += sensor;
    t.board_sum += board;
    for (size_t i = 0; i < acc.size(); ++i) {
        int32_t v = image[i];
        // The delay moves the phase on; one that fell below the last step's
        // went round the period.
        if (step > 0 && v < work.previous_phase[i]) v += kPhasePeriod;
        acc[i] += v;
    }
    return true;
}

// Image `step` of the bank, the pixels' phases for the next step and, for
// step 0, the offset: all from the means.
void store_means(DrnuWork &work, int bank, int step, const std::vector<int32_t> &acc, int frames) {
    const size_t pixels = work.pixels();
    uint16_t *image = work.images[static_cast<size_t>(bank)].data() + step * pixels;
    int64_t sum = 0;
    for (size_t i = 0; i < pixels; ++i) {
        const int32_t m = acc[i] / frames;
        work.previous_phase[i] = m;
        image[i] = static_cast<uint16_t>(m);
        sum += m;
    }
    if (step == 0) work.offset_drnu = static_cast<int32_t>(sum / static_cast<int64_t>(pixels));
}

// The plane of residuals: each pixel's mean less the offset and the phase the
// delay line moved it by, rounded half away from zero.
void store_residuals(DrnuWork &work, int step, const std::vector<int32_t> &acc, int frames,
                     double step_lsb) {
    int32_t *plane = work.residual.data() + static_cast<size_t>(step) * kResidualPlaneEntries;
    for (int r = 0; r < work.height; ++r) {
        for (int c = 0; c < work.width; ++c) {
            const size_t i =
                static_cast<size_t>(r) * static_cast<size_t>(work.width) + static_cast<size_t>(c);
            const double residual = acc[i] / frames - work.offset_drnu - step * step_lsb;
            plane[static_cast<size_t>(r) * kMaxWidth + static_cast<size_t>(c)] =
                static_cast<int32_t>(std::lround(residual));
        }
    }
}

}  // namespace

double speed_div2(const SensorModel &model) {
    const double s = model.calc_params().speed_of_light_div2;
    return s > 0 ? s : kDefaultSpeedDiv2;
}

int active_bank(const SensorModel &model) {
    return model.mod_freq_mode() == 2 ? 1 : 0;
}

int create_step_locked(SensorModel &model, DrnuWork &work, int step, int frames) {
    const int width = model.calib_width();
    const int height = model.calib_height();
    const int k = model.num_distances();
    if (frames < 1) {
        NX_ERR(kFn, "[%s] %d frames cannot be averaged\n", frames);
        return -1;
    }
    if (k < 1 || k > kMaxDistances || step < 0 || step >= k) {
        NX_ERR(kFn, "[%s] step %d outside 0 ~ %d\n", step, k - 1);
        return -1;
    }
    if (width < 1 || width > kMaxWidth || height < 2 || height > kMaxHeight ||
        width * height > kBankPixels) {
        NX_ERR(kFn, "[%s] %dx%d images do not fit the tables\n", width, height);
        return -1;
    }
    NX_INF(kFn, "[%s] calibrationCreateDRNU_LUT: %d  numAvrFrames= %d\n", step, frames);
    std::vector<int32_t> acc;
    std::vector<uint16_t> image;
    try {
        size_tables(work, width, height, k);
        acc.assign(work.pixels(), 0);
        image.resize(work.pixels());
    } catch (const std::bad_alloc &) {
        NX_ERR(kFn, "[%s] Malloc failed\n");
        return -1;
    }
    const int delay_us =
        work.delay_us_override >= 0 ? work.delay_us_override : model.calc_params().drnu_delay_us;
    drop_older_frames(model);
    StepTemperatures t;
    for (int n = 0; n < frames; ++n) {
        if (!accumulate(model, work, step, delay_us, image, acc, t)) return -1;
    }
    const auto sensor = static_cast<int16_t>(t.sensor_sum / frames);
    const auto board = static_cast<int16_t>(t.board_sum / frames);
    work.temperature[static_cast<size_t>(step)] = sensor;
    work.ib_temperature[static_cast<size_t>(step)] = board;

    store_means(work, active_bank(model), step, acc, frames);
    const double step_lsb = ((sensor - kReferenceTemp) * kDelayTempCoefNs + work.delay_cal_ns) *
                            kDelayLsbFactor * model.modulation_khz() / speed_div2(model);
    store_residuals(work, step, acc, frames, step_lsb);
    return 0;
}

}  // namespace nx::sensor
