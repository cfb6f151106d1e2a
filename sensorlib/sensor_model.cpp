// The record itself: construction, register access through the bridge, chip
// identity, frame information and the calibration snapshot.
#include "sensorlib/sensor_model.h"

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "sensorlib/register_bridge.h"

namespace nx::sensor {
namespace {

constexpr int kChipInfoBytes = 6;  // u16 part version, u16 chip ID, u16 wafer ID

}  // namespace

SensorModel::SensorModel() : cal_(std::make_shared<const Calibration>()) {}

int SensorModel::i2c(int dev_addr, char op, int reg, int count, uint8_t *buf) {
    std::lock_guard lock(op_mu_);
    return transfer_locked(dev_addr, op, reg, count, buf);
}

int SensorModel::transfer_locked(int dev_addr, char op, int reg, int count, uint8_t *buf) {
    return bridge_transfer(dev_.load(), dev_addr, op, reg, count, buf);
}

std::optional<uint8_t> SensorModel::read_reg_locked(int dev_addr, int reg) {
    uint8_t value = 0;
    if (transfer_locked(dev_addr, 'r', reg, 1, &value) != 0) return std::nullopt;
    return value;
}

bool SensorModel::write_regs_locked(int dev_addr, int reg, std::span<const uint8_t> values) {
    // The bridge takes a mutable buffer; writing never changes it.
    std::array<uint8_t, kBridgeMaxCount> copy{};
    if (values.size() > copy.size()) return false;
    std::copy(values.begin(), values.end(), copy.begin());
    return transfer_locked(dev_addr, 'w', reg, static_cast<int>(values.size()), copy.data()) == 0;
}

// A register whose read fails is not written: writing would put whatever the
// buffer held into the chip.
bool SensorModel::modify_reg_locked(int dev_addr, int reg, uint8_t clear_bits, uint8_t set_bits) {
    std::optional<uint8_t> value = read_reg_locked(dev_addr, reg);
    if (!value) return false;
    const uint8_t updated = static_cast<uint8_t>((*value & ~clear_bits) | set_bits);
    return write_regs_locked(dev_addr, reg, std::span(&updated, 1));
}

bool SensorModel::read_chip_info() {
    std::lock_guard lock(op_mu_);
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_CHIP_INFO;
    if (!nivex_param_batch_get(dev_.load(), &entry, 1) || entry.param_val_len < kChipInfoBytes)
        return false;
    const uint8_t *value = entry.param_val.data;
    const uint16_t version = nx::load_le16(value);
    part_version_.store(version);
    ic_version_.store(version);
    chip_id_.store(nx::load_le16(value + 2));
    wafer_id_.store(nx::load_le16(value + 4));
    return true;
}

std::array<int, kFrequencySettings> SensorModel::frequency_table() const {
    std::array<int, kFrequencySettings> table{};
    for (size_t i = 0; i < table.size(); ++i)
        table[i] = freq_table_[i].load();
    return table;
}

CalcParams SensorModel::calc_params() const {
    std::lock_guard lock(op_mu_);
    return calc_;
}

SmallSensorSetup SensorModel::small_sensor_setup() const {
    std::lock_guard lock(op_mu_);
    return small_;
}

void SensorModel::set_frame_temperatures(int16_t sensor, int16_t board) {
    sensor_temp_.store(sensor);
    board_temp_.store(board);
}

void SensorModel::temperature_init() {
    set_frame_temperatures(0, 0);
}

// The library works on the geometry divided by its column and row reduction.
void SensorModel::pru_set_size(int width, int rows_per_half) {
    if (width < 0 || rows_per_half < 0) return;
    pru_columns_.store(width / col_reduction_.load());
    pru_rows_.store(rows_per_half / row_reduction_.load());
}

// Readout geometry of the sensor: 320 columns and two halves of 120 rows, or
// 160 columns and one half of 60 rows on the small variants.
void SensorModel::pru_init() {
    const bool small = small_sensor();
    col_reduction_.store(1);
    row_reduction_.store(1);
    pru_columns_.store(small ? 160 : 320);
    pru_rows_.store(small ? 60 : 120);
    pru_halves_.store(small ? 1 : 2);
}

std::shared_ptr<const Calibration> SensorModel::calibration() const {
    std::lock_guard lock(cal_mu_);
    return cal_;
}

void SensorModel::publish(std::shared_ptr<const Calibration> cal) {
    std::lock_guard lock(cal_mu_);
    cal_ = std::move(cal);
}

}  // namespace nx::sensor
