// The camera's parameter store: every parameter the host reads or writes in
// 20-byte entries (id, length, 18 value bytes). The integration time
// (parameter 13) and the temperatures (parameter 15) are the camera's sensor
// state: they are answered from it and a write changes it.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "sim/camsim.h"

namespace nxsim {

inline constexpr size_t kParamEntrySize = 20;
inline constexpr size_t kParamValueSize = 18;

enum ParamId : uint8_t {
    kParamDevMode = 0,
    kParamInfoStr = 2,
    kParamProductStr = 3,
    kParamIdData = 5,
    kParamInfoData = 6,
    kParamChipInfo = 7,
    kParamDataInfo = 8,
    kParamSensorMode = 10,
    kParamFrameRate = 12,
    kParamIntgTime = 13,
    kParamTemperature = 15,
    kParamDcsCheck = 17,
};

inline constexpr uint8_t kDevModeNormal = 0;
inline constexpr uint8_t kDevModeDataUpload = 9;
inline constexpr size_t kDataInfoSize = 17;

class ParamStore {
  public:
    explicit ParamStore(const CameraConfig &config);

    bool known(uint8_t id) const { return values_.count(id) != 0; }
    // The value bytes (at most 18); empty for an unknown id.
    std::vector<uint8_t> get(uint8_t id) const;
    // A write from the host: refused (with the reason) for unknown or
    // read-only ids and for values the camera cannot take.
    std::string check_host_write(uint8_t id, std::span<const uint8_t, kParamValueSize> value) const;
    void host_write(uint8_t id, std::span<const uint8_t, kParamValueSize> value);
    // A write from a test: any id, any value up to 18 bytes, no checks.
    void force(uint8_t id, std::span<const uint8_t> value);

    uint8_t dev_mode() const;
    uint32_t frame_rate() const;
    void set_frame_rate(uint32_t fps);
    uint16_t integration_time() const { return integration_time_; }
    // Sensor and illumination-board temperatures, 0.1 degC.
    int16_t sensor_temperature() const { return sensor_temperature_; }
    int16_t board_temperature() const { return board_temperature_; }
    void set_temperatures(int16_t sensor, int16_t board);

  private:
    struct Entry {
        std::vector<uint8_t> value;
        size_t write_size = 0;  // value bytes a host write sets; 0: read-only
    };
    uint32_t read_u32(uint8_t id) const;
    std::vector<uint8_t> temperature_readings() const;
    // Takes the state parameters 13 and 15 report from value bytes.
    void take_state(uint8_t id, std::span<const uint8_t> value);

    std::map<uint8_t, Entry> values_;
    uint16_t integration_time_;
    int16_t sensor_temperature_;
    int16_t board_temperature_;
};

}  // namespace nxsim
