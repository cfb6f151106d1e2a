// The sensor library's own acquisition: one phase image per call from the
// current device's capture, computed with the EPC decode's per-pixel phase
// arithmetic and brought into image row order; and the temperature readings
// of parameter 15.
#include <new>
#include <vector>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_pixel.h"
#include "sensorlib/dcs_row_order.h"
#include "sensorlib/drnu_creation.h"

namespace nx::sensor {
namespace {

constexpr const char *kPhaseFn = "calculationDistanceSorted";
constexpr const char *kTempFn = "temperatureGetTemperatures";
constexpr uint16_t kPhaseFrameFormat = 2;
constexpr size_t kSamplePlanes = 4;

// One raw frame: the next one of a running capture, or one of a capture
// started and stopped around the fetch. False on a capture error or when no
// frame came in the fetch's time-out.
bool fetch_frame(nivex_device *dev, std::vector<uint8_t> &raw, nivex_frame_meta &meta) {
    const bool running = nivex_cap_is_ongoing(dev);
    if (!running && !nivex_cap_start(dev)) {
        NX_ERR(kPhaseFn, "[%s] capture does not start\n");
        return false;
    }
    const int got =
        nivex_cap_get_frames(dev, 1, raw.data(), static_cast<uint32_t>(raw.size()), &meta);
    if (!running) nivex_cap_stop(dev);
    if (got < 0) {
        NX_ERR(kPhaseFn, "[%s] capture failed: %s\n", nivex_error_name(got));
        return false;
    }
    if (got == 0) {
        NX_ERR(kPhaseFn, "[%s] no frame within the time-out\n");
        return false;
    }
    return true;
}

}  // namespace

int phase_image(SensorModel &model, std::span<uint16_t> out, int width, int height) {
    nivex_device *dev = model.device();
    if (dev == nullptr) {
        NX_ERR(kPhaseFn, "[%s] no current device\n");
        return -1;
    }
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (width <= 0 || height <= 0 || height % 2 != 0 || out.size() < pixels) {
        NX_ERR(kPhaseFn, "[%s] %dx%d image does not fit %d words\n", width, height,
               static_cast<int>(out.size()));
        return -1;
    }
    std::vector<uint8_t> raw(pixels * kSamplePlanes * 2);
    std::vector<uint16_t> readout(pixels);
    nivex_frame_meta meta{};
    if (!fetch_frame(dev, raw, meta)) return -1;
    if (meta.frame_format != kPhaseFrameFormat || meta.width != static_cast<uint32_t>(width) ||
        meta.height != static_cast<uint32_t>(height) || meta.frame_size < raw.size()) {
        NX_ERR(kPhaseFn, "[%s] frame format %u, %ux%u: not a %dx%d phase frame\n",
               meta.frame_format, meta.width, meta.height, width, height);
        return -1;
    }
    const int min_amp = model.min_amplitude();
    for (size_t i = 0; i < pixels; ++i) {
        const nx::epc::scalar::Sample s = nx::epc::scalar::sample(raw.data(), pixels, i);
        if (!s.measured)
            readout[i] = nx::epc::kNotMeasured;
        else if (s.amplitude < min_amp)
            readout[i] = NX_PIXEL_LOW_AMP;
        else
            readout[i] = static_cast<uint16_t>(s.phase);
    }
    nx::dcs_sort(out.data(), readout.data(), width, height);
    return static_cast<int>(pixels);
}

bool read_temperatures(SensorModel &model, std::array<int16_t, kTemperatureReadings> &out) {
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_TEMPERATURE;
    nivex_device *dev = model.device();
    if (dev == nullptr || !nivex_param_batch_get(dev, &entry, 1) ||
        entry.param_val_len < 2 * kTemperatureReadings) {
        NX_ERR(kTempFn, "[%s] temperatures not readable\n");
        return false;
    }
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<int16_t>(nx::load_le16(entry.param_val.data + 2 * i));
    return true;
}

}  // namespace nx::sensor
