// The EPC driver's exported calls: the pixel routines on a driver's
// calibration, and the frame-valid flag of the sensor library's current
// device.
#include <optional>

#include "common/nx_log.h"
#include "drivers/epc/epc_calibration.h"
#include "drivers/epc/epc_driver_state.h"
#include "drivers/epc/epc_pixel.h"
#include "nivex_epc.h"

using nx::epc::DistanceConstants;
using nx::epc::epc_driver_state;

namespace {

constexpr int kDcsCount = 4;
constexpr const char *kNoneFn = "calc_dist_calib_none";
constexpr const char *kSimpleFn = "calc_dist_calib_simple";
constexpr const char *kDrnuFn = "calc_dist_calib_drnu";

// Pixels the routines may work on: none when they refuse.
enum class Pixels { kRefused, kNone, kSome };

Pixels check_frame(int width, int height, int dcs_count, const void *out, const void *raw,
                   size_t &n) {
    const int64_t count = int64_t{width} * height;
    if (dcs_count != kDcsCount || count % 4 != 0) return Pixels::kRefused;
    if (count <= 0) return Pixels::kNone;
    if (out == nullptr || raw == nullptr) return Pixels::kRefused;
    n = static_cast<size_t>(count);
    return Pixels::kSome;
}

const uint8_t *bytes(const uint16_t *raw) {
    return reinterpret_cast<const uint8_t *>(raw);
}

// Runs `body(state, constants, n)` for a routine that needs the driver's
// state; 1 when it ran (or had no pixels), 0 when refused.
template <typename Body>
int with_state(const char *fn, chip_driver *driver, int width, int height, int dcs_count,
               const uint16_t *dist, const uint16_t *amp, const uint16_t *raw, Body body) {
    size_t n = 0;
    const Pixels pixels =
        check_frame(width, height, dcs_count, amp == nullptr ? nullptr : dist, raw, n);
    if (pixels == Pixels::kRefused) return 0;
    epc_driver_state *state = nx::epc::state_of(driver);
    if (state == nullptr) {
        NX_ERR(fn, "[%s] no EPC driver state\n");
        return 0;
    }
    if (pixels == Pixels::kNone) return 1;
    return body(*state, nx::epc::current_constants(*state), n) ? 1 : 0;
}

}  // namespace

extern "C" {

int calc_gray(chip_driver *, uint16_t *gray, const uint16_t *raw, int width, int height,
              int dcs_count) {
    size_t n = 0;
    const Pixels pixels = check_frame(width, height, dcs_count, gray, raw, n);
    if (pixels != Pixels::kSome) return pixels == Pixels::kNone ? 1 : 0;
    nx::epc::gray(bytes(raw), n, gray);
    return 1;
}

int calc_dist_calib_none(chip_driver *driver, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                         int width, int height, int dcs_count, int scale, int offset_mm) {
    return with_state(kNoneFn, driver, width, height, dcs_count, dist, amp, raw,
                      [&](epc_driver_state &, const DistanceConstants &c, size_t n) {
                          const nx::epc::LinearCalib line{c.range_mm, scale, offset_mm};
                          nx::epc::distance_linear(bytes(raw), n, line, dist, amp);
                          return true;
                      });
}

int calc_dist_calib_simple(chip_driver *driver, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                           int width, int height, int dcs_count) {
    return with_state(kSimpleFn, driver, width, height, dcs_count, dist, amp, raw,
                      [&](epc_driver_state &state, const DistanceConstants &c, size_t n) {
                          nx::epc::distance_linear(bytes(raw), n, nx::epc::simple_calib(state, c),
                                                   dist, amp);
                          return true;
                      });
}

int calc_dist_calib_drnu(chip_driver *driver, uint16_t *dist, uint16_t *amp, const uint16_t *raw,
                         int width, int height, int dcs_count) {
    return with_state(
        kDrnuFn, driver, width, height, dcs_count, dist, amp, raw,
        [&](epc_driver_state &state, const DistanceConstants &c, size_t n) {
            std::optional<nx::epc::DrnuCalib> drnu = nx::epc::drnu_calib(state, c, width, height);
            if (!drnu) {
                NX_WRN(kDrnuFn, "[%s] no lookup table of %dx%d pixels loaded\n", width, height);
                return false;
            }
            nx::epc::distance_drnu(bytes(raw), n, *drnu, dist, amp);
            return true;
        });
}

void epc_adapater_set_frame_valid(uint8_t valid) {
    if (auto state = nx::epc::state_of_device(nx::sensor::current_device()))
        state->frame_valid.store(valid);
}

uint8_t epc_adapater_get_frame_valid(void) {
    auto state = nx::epc::state_of_device(nx::sensor::current_device());
    return state ? state->frame_valid.load() : 1;
}

}  // extern "C"
