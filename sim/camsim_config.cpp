// The NIVEX_SIM text: "key=value" items separated by commas. Unprefixed keys
// apply to every camera, "camN.key" to camera N (counted from 0) only.
#include <charconv>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>

#include "sim/camera/camera_model.h"
#include "sim/camsim.h"

namespace nxsim {
namespace {

using Settings = std::map<std::string, std::string>;

struct SimPlan {
    Settings common;
    std::map<unsigned, Settings> per_camera;
    unsigned cameras = 1;
    std::vector<std::string> foreign;  // "VID:PID"
};

template <typename Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> parse_real(std::string_view text, double low, double high) {
    // from_chars for double is not in every standard library this builds with.
    std::string copy(text);
    char *end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || !(value >= low && value <= high)) return std::nullopt;
    return value;
}

std::optional<double> parse_rate(std::string_view text) {
    return parse_real(text, 0, 1);
}

std::string split_items(std::string_view text, SimPlan &plan) {
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        if (item.empty()) continue;
        size_t eq = item.find('=');
        if (eq == std::string_view::npos) return "item without '=': " + std::string(item);
        std::string key(item.substr(0, eq));
        std::string value(item.substr(eq + 1));
        if (key == "cameras") {
            auto n = parse_number<unsigned>(value);
            if (!n || *n > 32) return "cameras: want 0 to 32, got " + value;
            plan.cameras = *n;
        } else if (key == "foreign") {
            plan.foreign.push_back(value);
        } else if (key.rfind("cam", 0) == 0 && key.find('.') != std::string::npos) {
            size_t dot = key.find('.');
            auto index = parse_number<unsigned>(std::string_view(key).substr(3, dot - 3));
            if (!index) return "bad camera prefix in " + key;
            plan.per_camera[*index][key.substr(dot + 1)] = value;
        } else {
            plan.common[key] = value;
        }
    }
    return {};
}

// Settings of a camera's configuration, by key; faults are applied once the
// camera exists.
using Setter = std::function<std::string(const std::string &value, CameraConfig &config)>;

template <typename T>
Setter number_setter(const char *key, T CameraConfig::*field, long long low, long long high) {
    return [=](const std::string &value, CameraConfig &config) -> std::string {
        auto n = parse_number<long long>(value);
        if (!n || *n < low || *n > high) return std::string(key) + ": bad value " + value;
        config.*field = static_cast<T>(*n);
        return {};
    };
}

Setter text_setter(std::string CameraConfig::*field) {
    return [=](const std::string &value, CameraConfig &config) -> std::string {
        config.*field = value;
        return {};
    };
}

Setter scene_setter(const char *key, double SceneConfig::*field, double low, double high) {
    return [=](const std::string &value, CameraConfig &config) -> std::string {
        auto v = parse_real(value, low, high);
        if (!v) return std::string(key) + ": bad value " + value;
        config.scene.*field = *v;
        return {};
    };
}

// The distance of "<prefix><mm>" (100 to 60000 mm).
std::optional<double> distance_after(std::string_view value, std::string_view prefix) {
    if (value.substr(0, prefix.size()) != prefix) return std::nullopt;
    return parse_real(value.substr(prefix.size()), 100, 60000);
}

// "wall:<mm>", "sphere:<mm>" or "steps".
std::string set_scene(const std::string &value, CameraConfig &config) {
    if (value == "steps") {
        config.scene.kind = SceneConfig::Kind::Steps;
        return {};
    }
    if (auto mm = distance_after(value, "sphere:")) {
        config.scene.kind = SceneConfig::Kind::Sphere;
        config.scene.sphere_mm = *mm;
        return {};
    }
    if (auto mm = distance_after(value, "wall:")) {
        config.scene.kind = SceneConfig::Kind::Wall;
        config.scene.wall_mm = *mm;
        return {};
    }
    return "scene: want wall:<mm> or sphere:<mm> (100 to 60000) or steps, got " + value;
}

std::string set_mode(const std::string &value, CameraConfig &config) {
    if (value == "rate")
        config.mode = StreamMode::FrameRate;
    else if (value == "fast")
        config.mode = StreamMode::Fast;
    else
        return "mode: want rate or fast, got " + value;
    return {};
}

// The stored data block: its size (made-up content) or "none" (no valid data).
std::string set_upload_size(const std::string &value, CameraConfig &config) {
    constexpr uint32_t kMaxBlock = 64u << 20;
    if (value == "none") {
        config.data_block.reset();
        return {};
    }
    auto size = parse_number<uint32_t>(value);
    if (!size || *size > kMaxBlock)
        return "ul_size: want a size up to 64 MiB or none, got " + value;
    config.data_block = data_block_pattern(*size);
    return {};
}

// The calibration an EPC camera holds: "zip" (its factory calibration),
// "none", "nozip", "bad" or "evil".
std::string set_calib(const std::string &value, CameraConfig &config) {
    static const std::map<std::string, CalibArchive> kKinds = {{"zip", CalibArchive::Zip},
                                                               {"none", CalibArchive::None},
                                                               {"nozip", CalibArchive::NoZip},
                                                               {"bad", CalibArchive::Bad},
                                                               {"evil", CalibArchive::Evil}};
    auto it = kKinds.find(value);
    if (it == kKinds.end()) return "calib: want zip, none, nozip, bad or evil, got " + value;
    config.calib = it->second;
    return {};
}

// A lens parameter file (path) that the calibration archive carries.
std::string set_lens(const std::string &value, CameraConfig &config) {
    std::ifstream file(value, std::ios::binary);
    if (!file) return "lens: cannot read " + value;
    config.lens_file.assign(std::istreambuf_iterator<char>(file), {});
    if (config.lens_file.empty()) return "lens: " + value + " is empty";
    return {};
}

// "announce", "erase", or "chunk:N", "ack:N", "lose:N", "skip:N".
std::optional<DataFault> parse_data_fault(const std::string &value) {
    using Point = DataFault::Point;
    if (value == "announce") return DataFault{Point::Announce, 0};
    if (value == "erase") return DataFault{Point::Erase, 0};
    static const std::map<std::string, Point> kPerChunk = {
        {"chunk", Point::Chunk}, {"ack", Point::Ack}, {"lose", Point::Lose}, {"skip", Point::Skip}};
    size_t colon = value.find(':');
    if (colon == std::string::npos) return std::nullopt;
    auto point = kPerChunk.find(value.substr(0, colon));
    auto chunk = parse_number<uint32_t>(std::string_view(value).substr(colon + 1));
    if (point == kPerChunk.end() || !chunk) return std::nullopt;
    return DataFault{point->second, *chunk};
}

const std::map<std::string, Setter> &setters() {
    static const std::map<std::string, Setter> table = {
        {"product", text_setter(&CameraConfig::product)},
        {"info", text_setter(&CameraConfig::info)},
        {"fps", number_setter("fps", &CameraConfig::frame_rate, 1, 1000)},
        {"bus", number_setter("bus", &CameraConfig::bus, 1, 127)},
        {"port", number_setter("port", &CameraConfig::port, 1, 127)},
        {"address", number_setter("address", &CameraConfig::address, 1, 127)},
        {"speed", number_setter("speed", &CameraConfig::speed, 0, 5)},
        {"chunk", number_setter("chunk", &CameraConfig::chunk_payload, 1, 0xFFFFF)},
        {"fifo", number_setter("fifo", &CameraConfig::fifo_frames, 1, 1000)},
        {"reenum_ms", number_setter("reenum_ms", &CameraConfig::reenumerate_ms, 0, 60000)},
        {"chip_id", number_setter("chip_id", &CameraConfig::chip_id, 0, 0xFFFF)},
        {"wafer_id", number_setter("wafer_id", &CameraConfig::wafer_id, 0, 0xFFFF)},
        {"delay_code", number_setter("delay_code", &CameraConfig::delay_code, 0, 0xFF)},
        {"mode", set_mode},
        {"scene", set_scene},
        {"reflect", scene_setter("reflect", &SceneConfig::reflectivity, 0, 1)},
        {"ambient", scene_setter("ambient", &SceneConfig::ambient, 0, 1)},
        {"noise", scene_setter("noise", &SceneConfig::noise_mm, 0, 1000)},
        {"drnu", scene_setter("drnu", &SceneConfig::drnu_mm, 0, 1000)},
        {"drift", scene_setter("drift", &SceneConfig::drift, -100000, 100000)},
        {"temp", number_setter("temp", &CameraConfig::sensor_temperature, -400, 1250)},
        {"ib_temp", number_setter("ib_temp", &CameraConfig::board_temperature, -400, 1250)},
        {"dl_version", number_setter("dl_version", &CameraConfig::data_version, 0, 0xFFFF)},
        {"dl_erase_polls",
         number_setter("dl_erase_polls", &CameraConfig::erase_polls, 0, 1000000000)},
        {"ul_size", set_upload_size},
        {"calib", set_calib},
        {"lens", set_lens},
    };
    return table;
}

std::string apply_config(const std::string &key, const std::string &value, CameraConfig &c) {
    auto it = setters().find(key);
    return it == setters().end() ? std::string() : it->second(value, c);
}

std::string apply_fault(const std::string &key, const std::string &value, Camera &camera,
                        uint64_t seed) {
    auto count = parse_number<uint32_t>(value);
    if (key == "busy" && count)
        camera.inject_busy(*count);
    else if (key == "error")
        camera.inject_error(value);
    else if (key == "hang" && count)
        camera.inject_hang(*count);
    else if (key == "stall" && count)
        camera.inject_stall(*count);
    else if (key == "timeout") {
        size_t colon = value.find(':');
        auto n = parse_number<uint32_t>(std::string_view(value).substr(0, colon));
        auto bytes = colon == std::string::npos
                         ? std::optional<uint32_t>(0)
                         : parse_number<uint32_t>(std::string_view(value).substr(colon + 1));
        if (!n || !bytes) return "timeout: want COUNT or COUNT:BYTES, got " + value;
        camera.inject_bulk_timeout(*n, *bytes);
    } else if (key == "corrupt" || key == "drop") {
        auto rate = parse_rate(value);
        if (!rate) return key + ": want a rate from 0 to 1, got " + value;
        if (key == "corrupt")
            camera.inject_corruption(*rate, seed);
        else
            camera.inject_chunk_drop(*rate, seed);
    } else if (key == "unplug_after" && count)
        camera.unplug_after_frames(*count);
    else if (key == "refuse_if" && count && *count < 2)
        camera.refuse_interface(static_cast<uint8_t>(*count));
    else if (key == "refuse_open" && count)
        camera.refuse_open(*count != 0);
    else if (key == "dl_fail") {
        auto fault = parse_data_fault(value);
        if (!fault)
            return "dl_fail: want announce, erase, chunk:N, ack:N, lose:N or skip:N, got " + value;
        camera.inject_data_fault(*fault);
    } else if (key == "ul_fail" && count && *count > 0)
        camera.fail_payload_read(*count);
    else
        return key + ": bad value " + value;
    return {};
}

bool is_fault(const std::string &key) {
    static const char *const kFaults[] = {"busy",      "error",       "hang",    "stall",
                                          "timeout",   "corrupt",     "drop",    "unplug_after",
                                          "refuse_if", "refuse_open", "dl_fail", "ul_fail"};
    for (const char *fault : kFaults)
        if (key == fault) return true;
    return false;
}

bool is_setting(const std::string &key) {
    return key == "seed" || setters().count(key) != 0 || is_fault(key);
}

std::optional<std::pair<uint16_t, uint16_t>> parse_foreign(const std::string &value) {
    size_t colon = value.find(':');
    if (colon == std::string::npos) return std::nullopt;
    auto vid = parse_number<uint16_t>(std::string_view(value).substr(0, colon));
    auto pid = parse_number<uint16_t>(std::string_view(value).substr(colon + 1));
    if (!vid || !pid) return std::nullopt;
    return std::pair(*vid, *pid);
}

std::string check_foreign(const std::string &value) {
    return parse_foreign(value) ? std::string() : "foreign: want VID:PID, got " + value;
}

void add_foreign(const std::string &value) {
    auto ids = parse_foreign(value);
    add_foreign_device(ids->first, ids->second, 1, 0);
}

std::string apply_faults(const Settings &settings, Camera &camera) {
    const uint64_t seed = parse_number<uint64_t>(settings.at("seed")).value_or(1);
    for (const auto &[key, value] : settings) {
        if (!is_fault(key)) continue;
        std::string error = apply_fault(key, value, camera, seed);
        if (!error.empty()) return error;
    }
    return {};
}

}  // namespace

std::string configure(std::string_view text) {
    SimPlan plan;
    std::string error = split_items(text, plan);
    if (!error.empty()) return error;
    for (const auto &[key, value] : plan.common)
        if (!is_setting(key)) return "unknown key " + key;
    for (const auto &[index, settings] : plan.per_camera) {
        if (index >= plan.cameras) return "cam" + std::to_string(index) + ": no such camera";
        for (const auto &[key, value] : settings)
            if (!is_setting(key)) return "unknown key cam" + std::to_string(index) + "." + key;
    }
    // Every camera is built and its faults checked on a model of its own
    // first, so that a bad text puts nothing on the bus.
    std::vector<std::pair<CameraConfig, Settings>> planned;
    for (unsigned i = 0; i < plan.cameras; ++i) {
        Settings settings = plan.common;
        for (const auto &[key, value] : plan.per_camera[i])
            settings[key] = value;
        CameraConfig config;
        for (const auto &[key, value] : settings)
            if (!is_fault(key) && !(error = apply_config(key, value, config)).empty()) return error;
        uint64_t seed = 1;
        if (settings.count("seed")) {
            auto n = parse_number<uint64_t>(settings["seed"]);
            if (!n) return "seed: bad value " + settings["seed"];
            seed = *n;
        }
        settings["seed"] = std::to_string(seed);
        config.scene.seed = seed;
        Camera trial(std::make_shared<CameraModel>(config));
        if (!(error = apply_faults(settings, trial)).empty()) return error;
        planned.emplace_back(std::move(config), std::move(settings));
    }
    for (const auto &value : plan.foreign)
        if (!(error = check_foreign(value)).empty()) return error;

    for (auto &[config, settings] : planned) {
        Camera camera = add_camera(config);
        apply_faults(settings, camera);
    }
    for (const auto &value : plan.foreign)
        add_foreign(value);
    return {};
}

}  // namespace nxsim
