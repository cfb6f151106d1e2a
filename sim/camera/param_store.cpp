#include "sim/camera/param_store.h"

#include <algorithm>
#include <string_view>

namespace nxsim {
namespace {

constexpr uint32_t kMaxFrameRate = 1000;
constexpr uint8_t kSensorModeCount = 3;

std::vector<uint8_t> text_value(const std::string &text) {
    size_t n = std::min(text.size(), kParamValueSize);
    return {text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n)};
}

std::vector<uint8_t> capped(std::vector<uint8_t> bytes) {
    if (bytes.size() > kParamValueSize) bytes.resize(kParamValueSize);
    return bytes;
}

void put_u16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_u32(std::vector<uint8_t> &out, uint32_t v) {
    put_u16(out, static_cast<uint16_t>(v));
    put_u16(out, static_cast<uint16_t>(v >> 16));
}

std::vector<uint8_t> chip_info(const CameraConfig &config) {
    std::vector<uint8_t> v;
    put_u16(v, config.chip_version);
    put_u16(v, config.chip_id);
    put_u16(v, config.wafer_id);
    return v;
}

// The first 17 bytes of the stored block describe it; without a block the
// camera reports "no valid data".
std::vector<uint8_t> data_info(const CameraConfig &config) {
    std::vector<uint8_t> v(kDataInfoSize, 0);
    size_t n = std::min(config.stored_data.size(), kDataInfoSize);
    std::copy_n(config.stored_data.begin(), n, v.begin());
    return v;
}

// The four on-chip sensor readings spread around the sensor temperature;
// their mean is exactly it.
constexpr int kSensorReadingSpread[] = {0, 2, -1, -1};
constexpr size_t kTemperatureReadings = 5;

uint32_t le32(std::span<const uint8_t> b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

std::string describe(std::string_view what, unsigned value) {
    return std::string(what) + " " + std::to_string(value);
}

}  // namespace

ParamStore::ParamStore(const CameraConfig &config)
    : integration_time_(config.integration_time),
      sensor_temperature_(config.sensor_temperature),
      board_temperature_(config.board_temperature) {
    std::vector<uint8_t> rate;
    put_u32(rate, config.frame_rate);

    values_[kParamDevMode] = {{kDevModeNormal}, 1};
    values_[kParamInfoStr] = {text_value(config.info), 0};
    values_[kParamProductStr] = {text_value(config.product), 0};
    values_[kParamIdData] = {capped(config.id_data), 0};
    values_[kParamInfoData] = {capped(config.info_data), 0};
    values_[kParamChipInfo] = {chip_info(config), 0};
    values_[kParamDataInfo] = {data_info(config), 0};
    values_[kParamSensorMode] = {{1}, 1};
    values_[kParamFrameRate] = {rate, 4};
    // State parameters: the entries give only the sizes; get() answers from
    // the state.
    values_[kParamIntgTime] = {std::vector<uint8_t>(2), 2};
    values_[kParamTemperature] = {std::vector<uint8_t>(2 * kTemperatureReadings), 0};
    values_[kParamDcsCheck] = {{1, 0, 0}, 3};
}

std::vector<uint8_t> ParamStore::get(uint8_t id) const {
    if (id == kParamIntgTime) {
        std::vector<uint8_t> v;
        put_u16(v, integration_time_);
        return v;
    }
    if (id == kParamTemperature) return temperature_readings();
    auto it = values_.find(id);
    return it == values_.end() ? std::vector<uint8_t>{} : it->second.value;
}

std::string ParamStore::check_host_write(uint8_t id,
                                         std::span<const uint8_t, kParamValueSize> value) const {
    auto it = values_.find(id);
    if (it == values_.end()) return describe("unknown parameter id", id);
    if (it->second.write_size == 0) return "parameter " + std::to_string(id) + " is read-only";
    switch (id) {
        case kParamDevMode:
            if (value[0] != kDevModeNormal && value[0] != kDevModeDataUpload)
                return describe("unsupported device mode", value[0]);
            break;
        case kParamSensorMode:
            if (value[0] >= kSensorModeCount) return describe("unsupported sensor mode", value[0]);
            break;
        case kParamFrameRate: {
            uint32_t fps = le32(value);
            if (fps == 0 || fps > kMaxFrameRate) return describe("frame rate out of range:", fps);
            break;
        }
        default:
            break;
    }
    return {};
}

// The length byte of the host's entry is not trusted: a parameter always
// takes its own number of value bytes.
void ParamStore::host_write(uint8_t id, std::span<const uint8_t, kParamValueSize> value) {
    Entry &entry = values_.at(id);
    entry.value.assign(value.begin(),
                       value.begin() + static_cast<std::ptrdiff_t>(entry.write_size));
    take_state(id, entry.value);
}

void ParamStore::force(uint8_t id, std::span<const uint8_t> value) {
    Entry &entry = values_[id];
    entry.value = capped({value.begin(), value.end()});
    if (entry.write_size > entry.value.size()) entry.write_size = entry.value.size();
    take_state(id, entry.value);
}

// Parameter 13 is the integration time; parameter 15 gives the sensor
// temperature as the mean of its first four readings and the board
// temperature as the fifth. Readings a short value lacks stay as they were.
void ParamStore::take_state(uint8_t id, std::span<const uint8_t> value) {
    auto reading = [&](size_t i) {
        return static_cast<int16_t>(value[2 * i] | value[2 * i + 1] << 8);
    };
    if (id == kParamIntgTime && value.size() >= 2) {
        integration_time_ = static_cast<uint16_t>(reading(0));
    } else if (id == kParamTemperature) {
        if (value.size() >= 8)
            sensor_temperature_ =
                static_cast<int16_t>((reading(0) + reading(1) + reading(2) + reading(3)) / 4);
        if (value.size() >= 10) board_temperature_ = reading(4);
    }
}

void ParamStore::set_temperatures(int16_t sensor, int16_t board) {
    sensor_temperature_ = sensor;
    board_temperature_ = board;
}

std::vector<uint8_t> ParamStore::temperature_readings() const {
    std::vector<uint8_t> v;
    for (int spread : kSensorReadingSpread)
        put_u16(v, static_cast<uint16_t>(sensor_temperature_ + spread));
    put_u16(v, static_cast<uint16_t>(board_temperature_));
    return v;
}

uint8_t ParamStore::dev_mode() const {
    auto v = get(kParamDevMode);
    return v.empty() ? kDevModeNormal : v[0];
}

uint32_t ParamStore::read_u32(uint8_t id) const {
    auto v = get(id);
    v.resize(4, 0);
    return le32(v);
}

uint32_t ParamStore::frame_rate() const {
    return read_u32(kParamFrameRate);
}

void ParamStore::set_frame_rate(uint32_t fps) {
    std::vector<uint8_t> v;
    put_u32(v, fps);
    values_[kParamFrameRate] = {v, 4};
}

}  // namespace nxsim
