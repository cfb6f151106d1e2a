// Integration times: the 3D time the camera exposes with, the second time of
// HDR mode, and how they reach the camera (parameter 13, or the sensor's
// integration-time registers in HDR mode).
#include <algorithm>
#include <cmath>

#include "common/nx_log.h"
#include "sensorlib/sensor_model.h"
#include "sensorlib/sensor_registers.h"

namespace nx::sensor {
namespace {

constexpr const char *kSet3dFn = "configSetIntegrationTime3D";
constexpr const char *kSetHdrFn = "configSetIntegrationTimesHDR";
constexpr int kModeDirect = 1;  // imaging mode whose time changes go to the camera
constexpr double kMultiplierSteps = 65536.0;

bool in_range(int time_us) {
    return time_us >= 0 && time_us <= kMaxIntegrationTimeUs;
}

uint16_t clamp_u16(double value) {
    return static_cast<uint16_t>(std::clamp(value, 0.0, 65535.0));
}

}  // namespace

bool SensorModel::write_integration_time_locked(int time_us) {
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_INTG_TIME;
    entry.param_val_len = 2;
    entry.param_val.u16 = static_cast<uint16_t>(std::clamp(time_us, 0, 0xFFFF));
    if (nivex_param_batch_set(dev_.load(), &entry, 1)) return true;
    NX_ERR(kSet3dFn, "[%s] integration time %d us not taken by the camera\n", time_us);
    return false;
}

int SensorModel::set_integration_time_3d(int time_us) {
    if (!in_range(time_us)) return -1;
    std::lock_guard lock(op_mu_);
    if (hdr_.load()) {
        if (apply_hdr_times_locked(time_us, intg_3d_hdr_.load()) != 0) return -1;
    } else if (current_mode_.load() == kModeDirect && !write_integration_time_locked(time_us)) {
        return -1;
    }
    intg_3d_.store(time_us);
    return 0;
}

int SensorModel::set_integration_time_3d_hdr(int time_us) {
    if (!in_range(time_us)) return -1;
    std::lock_guard lock(op_mu_);
    if (hdr_.load() && apply_hdr_times_locked(intg_3d_.load(), time_us) != 0) return -1;
    intg_3d_hdr_.store(time_us);
    return 0;
}

// After a clock change: in mode 0 the 2D time goes to the camera, then the 3D
// time is applied as a new setting would be.
int SensorModel::reapply_integration_times_locked() {
    if (current_mode_.load() == 0) {
        const int time_2d = intg_2d_.load();
        if (time_2d <= kMaxIntegrationTime2DUs && !write_integration_time_locked(time_2d))
            return -1;
    }
    const int time_3d = intg_3d_.load();
    if (hdr_.load()) return apply_hdr_times_locked(time_3d, intg_3d_hdr_.load());
    if (current_mode_.load() == kModeDirect && !write_integration_time_locked(time_3d)) return -1;
    return 0;
}

// Mode 1 sends every 3D time change to the camera; mode 0 keeps the 2D time
// there.
int SensorModel::load_config(int mode) {
    std::lock_guard lock(op_mu_);
    current_mode_.store(mode);
    return reapply_integration_times_locked();
}

int SensorModel::apply_hdr_integration_times() {
    std::lock_guard lock(op_mu_);
    return apply_hdr_times_locked(intg_3d_.load(), intg_3d_hdr_.load());
}

// The sensor counts exposure in steps of its clock period times a common
// multiplier m: each time is m x (count + 1) periods. m is the smallest
// multiplier that lets the longer time fit the 16-bit count.
int SensorModel::apply_hdr_times_locked(int t3, int t3_hdr) {
    const int dev_addr = device_address_.load();
    std::optional<uint8_t> divider = read_reg_locked(dev_addr, reg::kModDivider);
    std::optional<uint8_t> multiplier =
        divider ? read_reg_locked(dev_addr, reg::kPllMultiplier) : std::nullopt;
    std::optional<uint8_t> prescale =
        multiplier ? read_reg_locked(dev_addr, reg::kPllPrescale) : std::nullopt;
    if (!prescale) {
        NX_ERR(kSetHdrFn, "[%s] clock registers not readable, HDR times not set\n");
        return -1;
    }
    const double clock_khz =
        static_cast<double>(reg::pll_base_khz(*multiplier, *prescale)) / ((*divider & 0x1F) + 1);
    const double period_ns = 1000000.0 / clock_khz;
    const double unit_us = period_ns * kMultiplierSteps / 1000.0;
    const double m = std::max(std::trunc(t3 / unit_us + 1), std::trunc(t3_hdr / unit_us + 1));
    auto count_for = [&](int t) {
        return t > 0 ? clamp_u16(std::trunc(t / m * 1000.0 / period_ns - 1)) : uint16_t{0};
    };
    const uint16_t mult = clamp_u16(m);
    const uint16_t c3 = count_for(t3);
    const uint16_t ch = count_for(t3_hdr);
    auto pair = [](uint16_t v) {
        return std::array<uint8_t, 2>{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    };
    if (!write_regs_locked(dev_addr, reg::kIntgMultiplier, pair(mult)) ||
        !write_regs_locked(dev_addr, reg::kIntgCount, pair(c3)) ||
        !write_regs_locked(dev_addr, reg::kIntgHdrCount, pair(ch)))
        return -1;
    NX_DBG(kSetHdrFn, "[%s] HDR times %d/%d us: multiplier %u, counts %u/%u\n", t3, t3_hdr, mult,
           c3, ch);
    return 0;
}

}  // namespace nx::sensor
