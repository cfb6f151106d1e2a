// The EPC driver's state of one open camera: feature switches and their
// values, the temperatures of the frame described last, the distance
// constants derived from the sensor's calibration, the undistortion maps,
// the hysteresis mask, the timers of the runtime features and the decode's
// reusable work images.
//
// One record per open device (each session drives its own driver instance),
// so two cameras never share switches, calibration or work images.
//
// Threads: frames are described on the fetching thread, decoded on any
// application thread (several at once), and the switches are set from any
// thread. Switches and temperatures are atomics; the distance constants are
// read as one copy under their lock; the mask, the timers and the work-image
// pool each have a lock of their own (all leaves: nothing is called out while
// one is held).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "drivers/chip_driver.h"
#include "imgproc/lens_param.h"
#include "imgproc/nx_calib_len.h"
#include "sensorlib/drnu_data.h"
#include "sensorlib/sensor_registry.h"

namespace nx::epc {

using Clock = std::chrono::steady_clock;
using ClockFn = Clock::time_point (*)();

inline constexpr int kDefaultWidth = 320;
inline constexpr int kDefaultHeight = 240;
inline constexpr uint16_t kLowAmplitude = 65300;
inline constexpr uint16_t kMaxDistance = 60000;
inline constexpr size_t kFileNameSize = 256;

// The constants of the distance computation, from the sensor's calibration
// data and its modulation frequency.
struct DistanceConstants {
    int32_t sensor_temp_calib = 0;  // 0.1 degC
    int32_t ib_temp_calib = 0;      // 0.1 degC
    int32_t calib_scale = 0;        // per mille; 0: no distance images loaded
    int32_t calib_offset_mm = 0;
    float temp_coef = 1.7f;         // mm per 0.1 degC of sensor temperature
    float ib_temp_coef = 0.33765f;  // mm per 0.1 degC of board temperature
    int32_t drnu_offset_mm = 295;
    int32_t step_cal_mm = 0;
    int32_t drnu_offset_phase = 0;
    uint32_t range_mm = 0;
    float temp_coef_phase = 0;
    float ib_temp_coef_phase = 0;
    // The calibration step in phase units, from the step as the parameter
    // file gives it (not from its whole millimetres).
    float step_cal_phase = 0;
    // What these were derived from.
    int modulation_khz = 0;
    std::shared_ptr<const nx::sensor::Calibration> calibration;
};

// Two work images of a decode. Kept and reused: a decode takes a set from the
// pool and gives it back, so a steady stream of frames allocates nothing.
struct WorkImages {
    std::vector<uint16_t> a;
    std::vector<uint16_t> b;
};

class WorkPool {
  public:
    // A set whose images hold at least n samples; throws std::bad_alloc.
    std::unique_ptr<WorkImages> take(size_t n);
    void give(std::unique_ptr<WorkImages> images);

  private:
    std::mutex mu_;
    std::vector<std::unique_ptr<WorkImages>> free_;
};

struct epc_driver_state {
    epc_driver_state() = default;
    ~epc_driver_state();
    epc_driver_state(const epc_driver_state &) = delete;
    epc_driver_state &operator=(const epc_driver_state &) = delete;

    nivex_device *dev = nullptr;
    nx::sensor::ModelRef sensor;  // the sensor record bound to dev
    epc_lens_param lens = nx::kDefaultLensParam;
    nx_lens_map lens_map{};

    // Switches and their values (defaults of a freshly opened camera).
    std::atomic<uint8_t> calib_mode{2};
    std::atomic<uint8_t> drnu_on{0};
    std::atomic<uint8_t> undistort_on{0};
    std::atomic<uint8_t> min_amp_on{1};
    std::atomic<uint8_t> auto_intg_on{0};
    std::atomic<uint8_t> dcs_check_on{0};
    std::atomic<uint8_t> temp_monitor_on{1};
    std::atomic<uint8_t> hdr_on{0};
    std::atomic<uint8_t> depth_smooth_on{1};
    std::atomic<uint8_t> flypix_on{1};
    std::atomic<uint8_t> min_amp_hold{1};
    std::atomic<uint32_t> flypix_threshold{90000};
    std::atomic<uint16_t> min_amp_hysteresis{10};
    std::atomic<uint16_t> min_amp{0};
    std::atomic<uint16_t> sat_ratio{0};
    std::atomic<uint16_t> dcs_check_param{0};
    std::atomic<uint16_t> temp_monitor_param{75};
    std::atomic<uint8_t> median_size{5};

    // Temperatures of the frame described last, 0.1 degC.
    std::atomic<int16_t> sensor_temp{0};
    std::atomic<int16_t> ib_temp{0};
    std::atomic<uint8_t> frame_valid{0};

    // Distance constants as last derived (see epc_calibration.h).
    DistanceConstants constants();
    void set_constants(DistanceConstants c);
    std::array<char, kFileNameSize> dist_images_name{};
    std::array<char, kFileNameSize> drnu_param_name{};

    // Per-pixel validity of the hysteresis marking, kept across frames.
    std::mutex mask_mu;
    std::vector<uint8_t> min_amp_mask;  // min_amp_mask_len = its size

    // Timers of the runtime features; each under its own lock.
    std::atomic<ClockFn> now{&Clock::now};
    std::mutex auto_intg_mu;
    std::optional<Clock::time_point> last_auto_intg;
    std::mutex dcs_check_mu;
    std::optional<Clock::time_point> last_dcs_write;
    std::mutex temp_monitor_mu;
    std::optional<Clock::time_point> last_temp_log;

    // Warnings given once per device.
    std::atomic<bool> warned_uncalibrated{false};
    std::atomic<bool> warned_no_table{false};

    WorkPool work;

  private:
    std::mutex constants_mu_;
    DistanceConstants constants_;
};

// The state behind a driver instance; null when the driver has none (an init
// that failed, or a registry row that no open device drives).
epc_driver_state *state_of(const chip_driver *drv);

// The decode undistorts images of this size: undistortion is on and the
// image has the size the undistortion serves (320 x 240).
bool decode_undistorts(const epc_driver_state &state, int width, int height);

// States by device, for the calls that name no driver (the frame-valid flag
// of the sensor library's current device).
void register_state(const nivex_device *dev, std::shared_ptr<epc_driver_state> state);
void unregister_state(const nivex_device *dev);
std::shared_ptr<epc_driver_state> state_of_device(const nivex_device *dev);

}  // namespace nx::epc
