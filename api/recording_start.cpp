// Starting and stopping a recording on an open device: the describing
// sections are written at the start, then every frame the application
// fetches (or gets through its frame-ready callback) is appended until the
// stop or the close.
#include <cstring>
#include <fstream>
#include <iterator>

#include "api/params.h"
#include "api/recording_writer.h"
#include "api/session.h"
#include "common/nx_log.h"
#include "sensorlib/data_file.h"
#include "sensorlib/register_bridge.h"

namespace {

constexpr const char *kStartFn = "nivex_rec_start";
constexpr const char *kStopFn = "nivex_rec_stop";
constexpr uint32_t kSensorRegisters = 256;

// The parameters a replay answers; those the camera does not know are left out.
constexpr uint8_t kRecordedParams[] = {
    NIVEX_PARAM_DEV_MODE,   NIVEX_PARAM_INFO_STR,  NIVEX_PARAM_PRODUCT_STR, NIVEX_PARAM_ID_DATA,
    NIVEX_PARAM_INFO_DATA,  NIVEX_PARAM_CHIP_INFO, NIVEX_PARAM_DATA_INFO,   NIVEX_PARAM_SENSOR_MODE,
    NIVEX_PARAM_FRAME_RATE, NIVEX_PARAM_INTG_TIME, NIVEX_PARAM_TEMPERATURE, NIVEX_PARAM_DCS_CHECK};

nx::rec::Identity identity_of(const nivex_device &dev) {
    nx::rec::Identity identity;
    std::memcpy(identity.block.data(), &dev.dev_fd, identity.block.size());
    std::memcpy(identity.product.data(), dev.product, identity.product.size());
    std::memcpy(identity.info_str.data(), dev.info_str, identity.info_str.size());
    std::memcpy(identity.id_data.data(), dev.id_data, identity.id_data.size());
    std::memcpy(identity.info_data.data(), dev.info_data, identity.info_data.size());
    return identity;
}

// The camera's answers, one parameter at a time; empty when it does not
// even name its product (unplugged, not answering).
std::vector<ll_param_entry> read_params(nx::Session &session) {
    std::vector<ll_param_entry> params;
    std::lock_guard commands(session.cmd_mutex);
    for (uint8_t id : kRecordedParams) {
        ll_param_entry entry{};
        entry.id = id;
        if (nx::param_get(session, &entry, 1)) {
            params.push_back(entry);
        } else if (id == NIVEX_PARAM_PRODUCT_STR) {
            return {};
        }
    }
    return params;
}

// The sensor's register file, which the driver's sensor set-up reads.
std::optional<nx::rec::RegisterBlock> read_sensor_registers(nx::Session &session) {
    nx::rec::RegisterBlock block{nx::sensor::kSensorTarget, 0,
                                 std::vector<uint32_t>(kSensorRegisters)};
    std::lock_guard commands(session.cmd_mutex);
    if (!nivex_ll_reg_read(&session, block.target, block.base, block.values.data(),
                           kSensorRegisters))
        return std::nullopt;
    return block;
}

std::vector<nx::rec::CalibFile> read_calibration_files(const nx::Session &session,
                                                       const nivex_device *dev) {
    std::vector<nx::rec::CalibFile> files;
    for (const std::string &name : nx::driver_calibration_files(session.drv)) {
        std::ifstream in(nx::sensor::data_path(dev, name), std::ios::binary);
        if (!in) {
            NX_DBG(kStartFn, "[%s] no calibration file %s\n", name.c_str());
            continue;
        }
        files.push_back({name, std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})});
    }
    return files;
}

// The switches the application set on the device, as a recording holds them.
std::vector<nx::rec::FilterSetting> filter_settings(const nx::SettingsRecord &settings) {
    std::vector<nx::rec::FilterSetting> out;
    for (const nx::FilterSwitch &filter : settings.filters()) {
        if (filter.filter_id < 0 || filter.filter_id > NIVEX_FILTER_HDR) continue;
        nx::rec::FilterSetting setting{static_cast<uint8_t>(filter.filter_id), filter.enabled, 0};
        if (filter.has_arg) std::memcpy(&setting.arg, &filter.arg, sizeof setting.arg);
        out.push_back(setting);
    }
    return out;
}

bool write_description(nx::rec::Recorder &recorder, nx::Session &session, nivex_device *dev,
                       const std::vector<ll_param_entry> &params) {
    bool ok = recorder.write_section(nx::rec::kTagIdentity,
                                     nx::rec::encode_identity(identity_of(*dev))) &&
              recorder.write_section(nx::rec::kTagParams, nx::rec::encode_params(params));
    if (std::optional<nx::rec::RegisterBlock> regs = read_sensor_registers(session)) {
        ok = ok && recorder.write_section(nx::rec::kTagRegisters, nx::rec::encode_registers(*regs));
    } else {
        NX_WRN(kStartFn, "[%s] sensor registers not readable: not recorded\n");
    }
    ok = ok && recorder.write_section(nx::rec::kTagFilters,
                                      nx::rec::encode_filters(filter_settings(session.settings)));
    for (const nx::rec::CalibFile &file : read_calibration_files(session, dev))
        ok = ok && recorder.write_section(nx::rec::kTagFile, nx::rec::encode_file(file));
    return ok;
}

bool start_recording(nivex_device *dev, nx::Session &session, const char *path) {
    const std::vector<ll_param_entry> params = read_params(session);
    if (params.empty()) {
        NX_ERR(kStartFn, "[%s] camera does not answer: no recording\n");
        return false;
    }
    std::shared_ptr<nx::rec::Recorder> recorder = nx::rec::Recorder::create(path, kStartFn);
    if (!recorder) return false;
    if (!write_description(*recorder, session, dev, params)) {
        NX_ERR(kStartFn, "[%s] cannot write recording %s\n", path);
        return false;
    }
    std::lock_guard lock(session.rec_mutex);
    if (session.recorder) NX_INF(kStartFn, "[%s] recording replaced by %s\n", path);
    session.recorder = std::move(recorder);
    return true;
}

}  // namespace

extern "C" {

bool nivex_rec_start(nivex_device *dev, const char *path) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kStartFn);
        return false;
    }
    if (path == nullptr || path[0] == '\0') {
        NX_ERR(kStartFn, "[%s] no file name\n");
        return false;
    }
    try {
        return start_recording(dev, *call.session(), path);
    } catch (const std::exception &) {
        NX_ERR(kStartFn, "[%s] malloc failed\n");
        return false;
    }
}

int nivex_rec_stop(nivex_device *dev) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle(kStopFn);
        return -1;
    }
    std::shared_ptr<nx::rec::Recorder> recorder;
    {
        std::lock_guard lock(call.session()->rec_mutex);
        recorder.swap(call.session()->recorder);
    }
    if (!recorder) return -1;
    const auto frames = static_cast<int>(recorder->frames());
    NX_INF(kStopFn, "[%s] %d frames recorded\n", frames);
    return frames;
}

}  // extern "C"
