// Register-level set-up of the sensor: HDR, ambient-light suppression and the
// readout window. Bits are changed by read-modify-write, so the other bits of
// a register keep what the chip holds.
#include <array>

#include "common/nx_log.h"
#include "sensorlib/sensor_model.h"
#include "sensorlib/sensor_registers.h"

namespace nx::sensor {
namespace {

constexpr const char *kRoiFn = "apiSetROI";
constexpr uint8_t kHdrEnableBit = 0x80;
constexpr uint8_t kHdrControlBit = 0x08;
constexpr uint8_t kPhaseNibble = 0x0F;
constexpr std::array<uint8_t, 4> kHdrPhaseOrder = {0, 5, 10, 15};
constexpr std::array<uint8_t, 4> kNormalPhaseOrder = {4, 1, 14, 11};
constexpr uint8_t kAbsBits = 0x30;
constexpr int kMaxColumn = 327;
constexpr int kMinLastColumn = 5;
constexpr int kMaxRow = 125;
constexpr int kMinLastRow = 1;

}  // namespace

int SensorModel::enable_hdr(bool on, int dev_addr) {
    std::lock_guard lock(op_mu_);
    const uint8_t enable = on ? kHdrEnableBit : 0;
    bool done = modify_reg_locked(dev_addr, reg::kHdrEnable, kHdrEnableBit, enable);
    const auto &order = on ? kHdrPhaseOrder : kNormalPhaseOrder;
    for (size_t i = 0; done && i < order.size(); ++i)
        done = modify_reg_locked(dev_addr, reg::kPhaseSetup[i], kPhaseNibble, order[i]);
    const uint8_t control = on ? kHdrControlBit : 0;
    done = done && modify_reg_locked(dev_addr, reg::kHdrControl, kHdrControlBit, control);
    if (!done) return -1;
    hdr_.store(on);
    return apply_hdr_times_locked(intg_3d_.load(), intg_3d_hdr_.load());
}

int SensorModel::enable_abs(bool on, int dev_addr) {
    std::lock_guard lock(op_mu_);
    for (int address : reg::kPhaseSetup) {
        if (!modify_reg_locked(dev_addr, address, kAbsBits, on ? kAbsBits : 0)) return -1;
    }
    abs_.store(on);
    return 0;
}

// Columns x1..x2 and rows y1..y2 of each half; the readout works on column
// and row pairs, hence even starts and odd ends.
int SensorModel::set_roi(int x1, int x2, int y1, int y2, int dev_addr) {
    if (x1 < 0 || x1 % 2 != 0 || x2 % 2 != 1 || x2 < x1 || x2 < kMinLastColumn || x2 > kMaxColumn) {
        NX_ERR(kRoiFn, "[%s] bad x coordinates\n");
        return -1;
    }
    if (y1 < 0 || y1 % 2 != 0 || y2 % 2 != 1 || y2 < y1 || y2 < kMinLastRow || y2 > kMaxRow) {
        NX_ERR(kRoiFn, "[%s] bad y coordinates\n");
        return -1;
    }
    const int min_width = 6 * col_reduction_.load();
    const int min_height = 2 * row_reduction_.load();
    if (x2 - x1 + 1 < min_width || y2 - y1 + 1 < min_height) {
        NX_ERR(kRoiFn, "[%s] size too small: min size = %i x %i\n", min_width, min_height);
        return -1;
    }
    const std::array<uint8_t, 6> window = {static_cast<uint8_t>(x1 >> 8), static_cast<uint8_t>(x1),
                                           static_cast<uint8_t>(x2 >> 8), static_cast<uint8_t>(x2),
                                           static_cast<uint8_t>(y1),      static_cast<uint8_t>(y2)};
    std::lock_guard lock(op_mu_);
    if (!write_regs_locked(dev_addr, reg::kRoi, window)) return -1;
    pru_set_size(x2 - x1 + 1, y2 - y1 + 1);
    return 0;
}

}  // namespace nx::sensor
