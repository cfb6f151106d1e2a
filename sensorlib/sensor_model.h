// The model of one EPC sensor: its identity, clock and exposure settings,
// register-level set-up, frame information and DRNU calibration data, bound
// to the camera whose sensor registers it drives.
//
// One record per bound device (see sensor_registry.h). Thread safety: every
// operation that talks to the camera or loads files holds the record's
// operation lock for its whole duration, so sequences such as a
// read-modify-write never interleave. Plain values are atomics and the
// calibration data is an immutable snapshot, so readers (the frame path
// among them) never wait for camera traffic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "nivex.h"
#include "sensorlib/drnu_data.h"
#include "sensorlib/drnu_work.h"

namespace nx::sensor {

inline constexpr int kDeviceAddress = 32;  // the sensor's bus address
inline constexpr int kFrequencySettings = 7;
inline constexpr int kMaxIntegrationTimeUs = 4000;
inline constexpr int kMaxIntegrationTime2DUs = 1000000;

// Constants of the calculation, set by load_parameters().
struct CalcParams {
    double ambient_light_factor_base = 0;
    int print_level = 0;
    int drnu_diff_temp = 0;  // 0.1 degC
    int drnu_delay_us = 0;
    int averaged_frames = 0;
    double epc635_temp_coeff = 0;
    double epc660_temp_coeff = 0;
    double speed_of_light_div2 = 0;
    double epc660_ib_temp_coeff = 0;
};

// Set-up that only the small sensor variants (part types 4 and 5) use.
struct SmallSensorSetup {
    uint16_t pixel_mask = 0;
    bool saturation_bit = false;
    uint16_t adc_overflow_low = 0;
    uint16_t adc_overflow_high = 0;
    int calib_column_max = 0;
    int calib_row_max = 0;
};

class SensorModel {
  public:
    SensorModel();
    SensorModel(const SensorModel &) = delete;
    SensorModel &operator=(const SensorModel &) = delete;

    // The device all register and parameter traffic of this record goes to;
    // the last one it drove stays known after it is detached (null).
    void attach(nivex_device *dev) {
        dev_.store(dev);
        if (dev != nullptr) last_dev_.store(dev);
    }
    nivex_device *device() const { return dev_.load(); }
    const nivex_device *last_device() const { return last_dev_.load(); }

    // Register bridge (op 'd', 'l', 'r', 'w', 's'), see register_bridge.h.
    int i2c(int dev_addr, char op, int reg, int count, uint8_t *buf);
    // Reads the chip identity from the camera (parameter 7).
    bool read_chip_info();

    // Identity.
    int part_type() const { return part_type_.load(); }
    void set_part_type(int v) { part_type_.store(v); }
    uint16_t part_version() const { return part_version_.load(); }
    void set_part_version(uint16_t v) { part_version_.store(v); }
    uint16_t ic_version() const { return ic_version_.load(); }
    void set_ic_version(uint16_t v) { ic_version_.store(v); }
    uint16_t wafer_id() const { return wafer_id_.load(); }
    void set_wafer_id(uint16_t v) { wafer_id_.store(v); }
    uint16_t chip_id() const { return chip_id_.load(); }
    void set_chip_id(uint16_t v) { chip_id_.store(v); }
    int device_address() const { return device_address_.load(); }
    void set_device_address(int v) { device_address_.store(v); }
    bool small_sensor() const { return part_type() == 4 || part_type() == 5; }

    // Modulation frequency.
    int set_modulation_frequency(int setting, int dev_addr);
    int modulation_khz() const { return mod_khz_.load(); }
    int mod_freq_mode() const { return mod_setting_.load(); }
    std::array<int, kFrequencySettings> frequency_table() const;

    // Integration times (microseconds) and the imaging mode.
    int set_integration_time_3d(int time_us);
    int integration_time_3d() const { return intg_3d_.load(); }
    int set_integration_time_3d_hdr(int time_us);
    int integration_time_3d_hdr() const { return intg_3d_hdr_.load(); }
    int integration_time_2d() const { return intg_2d_.load(); }
    int apply_hdr_integration_times();
    int current_mode() const { return current_mode_.load(); }
    void set_current_mode(int mode) { current_mode_.store(mode); }
    // Switches the imaging mode and applies the integration times to it.
    int load_config(int mode);

    // Register-level set-up.
    int enable_hdr(bool on, int dev_addr);
    bool is_hdr() const { return hdr_.load(); }
    int enable_abs(bool on, int dev_addr);
    bool abs_on() const { return abs_.load(); }
    int set_roi(int x1, int x2, int y1, int y2, int dev_addr);

    // Set-up at device open, and the calculation constants.
    int config_init(int dev_addr);
    int load_parameters();
    CalcParams calc_params() const;
    SmallSensorSetup small_sensor_setup() const;

    // Frame information.
    void set_frame_temperatures(int16_t sensor, int16_t board);
    int16_t sensor_temperature() const { return sensor_temp_.load(); }
    int16_t board_temperature() const { return board_temp_.load(); }
    void temperature_init();
    void pru_set_size(int width, int rows_per_half);
    void pru_init();
    int pru_columns() const { return pru_columns_.load(); }
    int pru_rows_per_half() const { return pru_rows_.load(); }
    int pru_halves() const { return pru_halves_.load(); }
    int column_reduction() const { return col_reduction_.load(); }
    int row_reduction() const { return row_reduction_.load(); }

    // Switches.
    void set_ext_mode(bool on) { ext_mode_.store(on); }
    bool ext_mode() const { return ext_mode_.load(); }
    void set_drnu_mode(int mode) { drnu_mode_.store(mode); }
    int drnu_mode() const { return drnu_mode_.load(); }
    bool temperature_correction() const { return temp_correction_.load(); }
    void set_temperature_correction(bool on) { temp_correction_.store(on); }
    bool ambient_light_correction() const { return ambient_correction_.load(); }
    void set_ambient_light_correction(bool on) { ambient_correction_.store(on); }
    // Pixels of a lower amplitude are marked in the library's phase images.
    int min_amplitude() const { return min_amplitude_.load(); }
    void set_min_amplitude(int amplitude) { min_amplitude_.store(amplitude); }
    bool grayscale_correction() const { return grayscale_.load(); }

    // DRNU calibration data. File names are this chip's, without folder.
    std::string distance_images_name() const;
    std::string param_name() const;
    int data_file_check() const;
    int load_drnu_params();
    int load_distance_images(int bank);
    std::shared_ptr<const Calibration> calibration() const;
    int num_distances() const { return num_distances_.load(); }
    int set_num_distances(int k);
    int calib_width() const { return calib_width_.load(); }
    int set_calib_width(int width);
    int calib_height() const { return calib_height_.load(); }
    int set_calib_height(int height);
    uint16_t dist_image_pixel(int index) const;
    // Working state of the DRNU calibration procedure.
    DrnuWork &drnu_work() { return drnu_work_; }

  private:
    // Everything below with "_locked" runs with op_mu_ held.
    int transfer_locked(int dev_addr, char op, int reg, int count, uint8_t *buf);
    std::optional<uint8_t> read_reg_locked(int dev_addr, int reg);
    bool write_regs_locked(int dev_addr, int reg, std::span<const uint8_t> values);
    bool modify_reg_locked(int dev_addr, int reg, uint8_t clear_bits, uint8_t set_bits);
    bool read_frequency_table_locked(int dev_addr);
    int set_modulation_locked(int setting, int dev_addr);
    int reapply_integration_times_locked();
    bool write_integration_time_locked(int time_us);
    int apply_hdr_times_locked(int t3, int t3_hdr);
    int load_parameters_locked();
    int load_drnu_params_locked();
    int parse_params(const std::string &path, std::span<const uint8_t> bytes, DrnuParams &params,
                     int &freq_khz);
    int load_distance_images_locked(int bank);
    void publish(std::shared_ptr<const Calibration> cal);
    bool geometry_fits(int width, int height, int k) const;

    mutable std::mutex op_mu_;
    std::atomic<nivex_device *> dev_{nullptr};
    std::atomic<const nivex_device *> last_dev_{nullptr};

    std::atomic<int> part_type_{0};
    std::atomic<uint16_t> part_version_{0};
    std::atomic<uint16_t> ic_version_{0};
    std::atomic<uint16_t> wafer_id_{0};
    std::atomic<uint16_t> chip_id_{0};
    std::atomic<int> device_address_{0};

    std::array<std::atomic<int>, kFrequencySettings> freq_table_{};
    std::atomic<int> mod_setting_{2};
    std::atomic<int> mod_khz_{12000};

    std::atomic<int> intg_3d_{700};
    std::atomic<int> intg_2d_{700};
    std::atomic<int> intg_3d_hdr_{70};
    std::atomic<int> current_mode_{0};
    std::atomic<bool> hdr_{false};
    std::atomic<bool> abs_{false};
    std::atomic<bool> ext_mode_{false};
    std::atomic<int> drnu_mode_{0};
    std::atomic<bool> temp_correction_{false};
    std::atomic<bool> grayscale_{false};
    std::atomic<bool> ambient_correction_{false};
    std::atomic<int> min_amplitude_{0};

    std::atomic<int16_t> sensor_temp_{0};
    std::atomic<int16_t> board_temp_{0};
    std::atomic<int> pru_columns_{320};
    std::atomic<int> pru_rows_{120};
    std::atomic<int> pru_halves_{2};
    std::atomic<int> col_reduction_{1};
    std::atomic<int> row_reduction_{1};

    std::atomic<int> num_distances_{kMaxDistances};
    std::atomic<int> calib_width_{320};
    std::atomic<int> calib_height_{240};

    // Guarded by op_mu_.
    CalcParams calc_{};
    SmallSensorSetup small_{};
    int sequencer_version_ = 0;

    mutable std::mutex cal_mu_;  // leaf lock around the snapshot pointer
    std::shared_ptr<const Calibration> cal_;

    DrnuWork drnu_work_;
};

}  // namespace nx::sensor
