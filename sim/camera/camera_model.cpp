#include "sim/camera/camera_model.h"

#include <algorithm>
#include <utility>

#include "sim/camera/status_message.h"
#include "sim/camera/test_pattern.h"
#include "sim/physics/calibration_block.h"
#include "sim/physics/sensor_settings.h"
#include "sim/sim_bytes.h"

namespace nxsim {
namespace {

// Sub-commands.
constexpr uint16_t kSubReset = 0;
constexpr uint16_t kSubParamSet = 3;
constexpr uint16_t kSubParamGet = 4;
constexpr uint16_t kSubRegWrite = 0;
constexpr uint16_t kSubRegRead = 1;
constexpr uint16_t kSubCaptureStart = 4;
constexpr uint16_t kSubCaptureStop = 5;

constexpr size_t kMaxParamsPerGet = 3;
constexpr uint32_t kMaxRegsPerRead = 16;
constexpr size_t kRegHeaderSize = 7;
constexpr uint32_t kResetInterface = 3;
constexpr uint32_t kResetBoard = 0;
constexpr uint32_t kMaxResetTarget = 8;

void put_le32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An EPC camera without an explicitly stored block holds its factory
// calibration.
CameraConfig with_calibration(CameraConfig config) {
    if (config.stored_data.empty() && chip_code(config.product) != "T0")
        config.stored_data = physics::calibration_block(config);
    return config;
}

}  // namespace

CameraModel::CameraModel(CameraConfig config)
    : config_(with_calibration(std::move(config))),
      source_(config_.source ? config_.source : default_source()),
      params_(config_),
      thermal_(config_.sensor_temperature, config_.board_temperature, config_.scene.drift,
               Clock::now()),
      registers_(config_.delay_code),
      data_(config_) {}

// TI cameras stream the test pattern, EPC cameras what their sensor sees.
std::shared_ptr<FrameSource> CameraModel::default_source() const {
    if (chip_code(config_.product) == "T0") return make_test_pattern(config_.product);
    return make_sensor_physics(config_);
}

void CameraModel::refresh_temperatures(TimePoint now) {
    if (!thermal_.drifting()) return;
    const auto [sensor, board] = thermal_.at(now);
    params_.set_temperatures(sensor, board);
}

void CameraModel::set_temperatures(int16_t sensor, int16_t board, TimePoint now) {
    thermal_.restart(now, sensor, board);
    params_.set_temperatures(sensor, board);
}

SensorState CameraModel::sensor_state(TimePoint now) {
    refresh_temperatures(now);
    return physics::read_sensor_state(registers_, params_);
}

void CameraModel::attach(uint8_t address) {
    address_ = address;
    attached_ = true;
    reattach_at_.reset();
    ++generation_;
    ++counters_.enumerations;
}

void CameraModel::detach(std::optional<TimePoint> back_at) {
    attached_ = false;
    reattach_at_ = back_at;
    stream_.stop();
    stream_.clear_halt();
    pending_param_ids_.clear();
    pending_reg_read_.reset();
    data_.abort();
    leave_after_status_ = false;
}

void CameraModel::set_frame_source(std::shared_ptr<FrameSource> source) {
    source_ = source ? std::move(source) : default_source();
    config_.source = source_;
}

StreamSettings CameraModel::stream_settings() const {
    return {config_.mode,
            params_.frame_rate(),
            config_.chunk_payload,
            config_.fifo_frames,
            params_.sensor_temperature(),
            params_.board_temperature(),
            physics::read_sensor_state(registers_, params_)};
}

ControlOutcome CameraModel::control(const SetupPacket &setup, std::span<const uint8_t> data_out,
                                    TimePoint now) {
    WireRecord record{setup.request_type,
                      setup.request,
                      setup.value,
                      setup.index,
                      setup.length,
                      {},
                      false,
                      false};
    if (!setup.is_in()) record.data.assign(data_out.begin(), data_out.end());
    refresh_temperatures(now);
    ControlOutcome outcome;

    if (setup.request_type != kRequestTypeOut && setup.request_type != kRequestTypeIn) {
        // Standard and vendor requests, and other recipients: not this camera's.
        outcome.end = ControlEnd::Stall;
        record.stalled = true;
    } else if (auto delay = faults_.take_hang(setup.request)) {
        outcome.end = ControlEnd::Hang;
        outcome.cancel_delay_ms = *delay;
        record.hung = true;
    } else if (setup.request == kReqStatus) {
        if (setup.is_in()) {
            outcome.data_in = status_reply(setup);
            if (std::exchange(leave_after_status_, false))
                detach(now + std::chrono::milliseconds(config_.reenumerate_ms));
        } else {
            outcome.end = ControlEnd::Stall;
            record.stalled = true;
        }
    } else {
        ++counters_.commands;
        last_request_ = setup.request;
        last_sub_ = static_cast<uint8_t>(setup.value);
        // An injected error refuses the command: it has no effect.
        auto injected = faults_.take_error(setup.request);
        Result result = injected ? Result{*injected, {}} : execute(setup, data_out, now);
        status_ = result.error.empty() ? kStatusOk : kStatusError;
        message_ = result.error;
        if (!result.error.empty()) ++counters_.error_statuses;
        if (setup.is_in()) {
            result.data_in.resize(setup.length, 0);
            outcome.data_in = std::move(result.data_in);
        }
    }
    if (setup.is_in() && outcome.end == ControlEnd::Completed) {
        if (auto scripted = faults_.take_scripted_reply()) {
            scripted->resize(std::min<size_t>(scripted->size(), setup.length));
            outcome.data_in = std::move(*scripted);
        }
    }
    if (setup.is_in()) record.data = outcome.data_in;
    wire_log_.push_back(std::move(record));
    return outcome;
}

std::vector<uint8_t> CameraModel::status_reply(const SetupPacket &setup) {
    ++counters_.status_queries;
    std::vector<uint8_t> reply(kStatusReplySize, 0);
    reply[0] = faults_.take_busy() ? kStatusBusy : status_;
    reply[1] = last_request_;
    reply[2] = last_sub_;
    if (status_ == kStatusError) {
        size_t n = std::min(message_.size(), kStatusMessageSize - 1);
        std::copy_n(message_.begin(), n, reply.begin() + 3);
    }
    reply.resize(std::min<size_t>(setup.length, kStatusReplySize));
    return reply;
}

CameraModel::Result CameraModel::execute(const SetupPacket &setup, std::span<const uint8_t> data,
                                         TimePoint now) {
    switch (setup.request) {
        case kReqDevice:
            return device_request(setup, data, now);
        case kReqRegister:
            return register_request(setup, data, now);
        case kReqData: {
            DataChannel::Reply reply = data_.handle(setup, data, counters_, faults_);
            return {std::move(reply.error), std::move(reply.data_in)};
        }
        default:
            return {status_message("unknown request 0x%02X", setup.request), {}};
    }
}

CameraModel::Result CameraModel::device_request(const SetupPacket &setup,
                                                std::span<const uint8_t> data, TimePoint now) {
    const bool in = setup.is_in();
    switch (setup.value) {
        case kSubReset:
            if (!in) return reset(data, now);
            break;
        case kSubParamSet:
            if (!in) return param_set(data);
            break;
        case kSubParamGet:
            return in ? param_get_reply(setup.length) : param_get_request(data);
        default:
            return {
                status_message("unknown sub 0x%X of request 0x%02X", setup.value, setup.request),
                {}};
    }
    return {status_message("request 0x%02X sub %u: wrong direction", setup.request, setup.value),
            {}};
}

CameraModel::Result CameraModel::register_request(const SetupPacket &setup,
                                                  std::span<const uint8_t> data, TimePoint now) {
    const bool in = setup.is_in();
    switch (setup.value) {
        case kSubRegWrite:
            if (!in) return reg_write(data);
            break;
        case kSubRegRead:
            return in ? reg_read_reply(setup.length) : reg_read_request(data);
        case kSubCaptureStart:
            if (!in) return capture_start(data, now);
            break;
        case kSubCaptureStop:
            if (!in) return capture_stop(data);
            break;
        default:
            return {
                status_message("unknown sub 0x%X of request 0x%02X", setup.value, setup.request),
                {}};
    }
    return {status_message("request 0x%02X sub %u: wrong direction", setup.request, setup.value),
            {}};
}

CameraModel::Result CameraModel::reset(std::span<const uint8_t> data, TimePoint now) {
    if (data.size() != 4) return {status_message("reset: %zu data bytes, want 4", data.size()), {}};
    const uint32_t target = get32(data.data());
    if (target > kMaxResetTarget) return {status_message("unknown reset target %u", target), {}};
    ++counters_.resets;
    if (target == kResetInterface) {
        // The camera drops off the bus once this request is answered and
        // enumerates again on the same port a little later.
        detach(now + std::chrono::milliseconds(config_.reenumerate_ms));
    } else if (target == kResetBoard) {
        // A new firmware boots: the board comes back as a new USB device.
        leave_after_status_ = data_.take_boot_pending();
        restart(now);
    } else if (target == kTargetSensor) {
        registers_.reset_target(kTargetSensor);
    }
    return {};
}

// The firmware starts over: capture stopped, parameters and registers back
// to their power-on values.
void CameraModel::restart(TimePoint now) {
    stream_.stop();
    stream_.clear_halt();
    params_ = ParamStore(config_);
    thermal_.restart(now, config_.sensor_temperature, config_.board_temperature);
    registers_.reset_all();
    pending_param_ids_.clear();
    pending_reg_read_.reset();
    data_.abort();
}

// All entries are checked before any is applied, so a refused batch changes
// nothing.
CameraModel::Result CameraModel::param_set(std::span<const uint8_t> data) {
    if (data.size() % kParamEntrySize != 0)
        return {status_message("parameter set: %zu bytes is no whole entry", data.size()), {}};
    for (size_t off = 0; off < data.size(); off += kParamEntrySize) {
        auto value = data.subspan(off + 2).first<kParamValueSize>();
        std::string error = params_.check_host_write(data[off], value);
        if (!error.empty()) return {error, {}};
    }
    for (size_t off = 0; off < data.size(); off += kParamEntrySize)
        params_.host_write(data[off], data.subspan(off + 2).first<kParamValueSize>());
    return {};
}

CameraModel::Result CameraModel::param_get_request(std::span<const uint8_t> data) {
    pending_param_ids_.clear();
    const size_t count = data.size() / kParamEntrySize;
    if (data.size() % kParamEntrySize != 0 || count == 0)
        return {status_message("parameter get: %zu bytes is no whole entry", data.size()), {}};
    if (count > kMaxParamsPerGet)
        return {status_message("parameter get: %zu entries, at most %zu", count, kMaxParamsPerGet),
                {}};
    std::vector<uint8_t> ids;
    for (size_t i = 0; i < count; ++i) {
        uint8_t id = data[i * kParamEntrySize];
        if (!params_.known(id)) return {status_message("unknown parameter id %u", id), {}};
        ids.push_back(id);
    }
    pending_param_ids_ = std::move(ids);
    return {};
}

CameraModel::Result CameraModel::param_get_reply(uint16_t length) {
    if (pending_param_ids_.empty()) return {"parameter get: no request", {}};
    if (length != pending_param_ids_.size() * kParamEntrySize)
        return {status_message("parameter get: reply of %u bytes, want %zu", length,
                               pending_param_ids_.size() * kParamEntrySize),
                {}};
    std::vector<uint8_t> reply;
    for (uint8_t id : pending_param_ids_) {
        std::vector<uint8_t> value = params_.get(id);
        reply.push_back(id);
        reply.push_back(static_cast<uint8_t>(value.size()));
        value.resize(kParamValueSize, 0);
        reply.insert(reply.end(), value.begin(), value.end());
    }
    pending_param_ids_.clear();
    if (auto fault = faults_.take_param_reply()) {
        if (fault->id) reply[0] = *fault->id;
        if (fault->length) reply[1] = *fault->length;
    }
    return {{}, std::move(reply)};
}

CameraModel::Result CameraModel::reg_write(std::span<const uint8_t> data) {
    if (data.size() < kRegHeaderSize)
        return {status_message("register write: %zu bytes, want at least 7", data.size()), {}};
    const uint16_t byte_count = get16(&data[5]);
    if (byte_count % 4 != 0 || byte_count != data.size() - kRegHeaderSize)
        return {status_message("register write: count %u for %zu value bytes", byte_count,
                               data.size() - kRegHeaderSize),
                {}};
    std::vector<uint32_t> values(byte_count / 4);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = get32(&data[kRegHeaderSize + 4 * i]);
    return {registers_.write(data[0], get32(&data[1]), values), {}};
}

CameraModel::Result CameraModel::reg_read_request(std::span<const uint8_t> data) {
    pending_reg_read_.reset();
    if (data.size() != kRegHeaderSize)
        return {status_message("register read: %zu bytes, want 7", data.size()), {}};
    const uint16_t byte_count = get16(&data[5]);
    const uint32_t count = byte_count / 4u;
    if (byte_count % 4 != 0 || count == 0 || count > kMaxRegsPerRead)
        return {status_message("register read: %u bytes, want 4 to 64 in steps of 4", byte_count),
                {}};
    RegRead request{data[0], get32(&data[1]), count};
    std::vector<uint32_t> probe;
    std::string error = registers_.read(request.target, request.base, request.count, probe);
    if (!error.empty()) return {error, {}};
    pending_reg_read_ = request;
    return {};
}

CameraModel::Result CameraModel::reg_read_reply(uint16_t length) {
    if (!pending_reg_read_) return {"register read: no request", {}};
    const RegRead request = *pending_reg_read_;
    pending_reg_read_.reset();
    if (length != request.count * 4)
        return {
            status_message("register read: reply of %u bytes, want %u", length, request.count * 4),
            {}};
    std::vector<uint32_t> values;
    registers_.read(request.target, request.base, request.count, values);
    std::vector<uint8_t> reply;
    for (uint32_t v : values)
        put_le32(reply, v);
    return {{}, std::move(reply)};
}

CameraModel::Result CameraModel::capture_start(std::span<const uint8_t> data, TimePoint now) {
    if (data.size() != 4)
        return {status_message("capture start: %zu bytes, want 4", data.size()), {}};
    ++counters_.captures_started;
    if (params_.dev_mode() == kDevModeDataUpload)
        stream_.start_block(config_.stored_data, stream_settings(), counters_);
    else
        stream_.start_frames(source_, now);
    return {};
}

CameraModel::Result CameraModel::capture_stop(std::span<const uint8_t> data) {
    if (data.size() != 1)
        return {status_message("capture stop: %zu bytes, want 1", data.size()), {}};
    ++counters_.captures_stopped;
    stream_.stop();
    return {};
}

BulkResult CameraModel::bulk_in(uint8_t endpoint, std::span<uint8_t> room, TimePoint now) {
    if (!attached_ || !has_endpoint(endpoint)) return {0, BulkEnd::Waiting};
    refresh_temperatures(now);
    BulkResult result = stream_.read(room, now, stream_settings(), faults_, counters_);
    if (stream_.unplug_due(faults_)) {
        faults_.count_unplug();
        detach(std::nullopt);
    }
    return result;
}

TimePoint CameraModel::next_bulk_event(TimePoint now) const {
    if (!attached_) return TimePoint::max();
    if (faults_.unplug_armed() && stream_.unplug_due(faults_)) return now;
    return stream_.next_event(now, stream_settings());
}

size_t CameraModel::stream_backlog() const {
    return stream_.backlog(stream_settings());
}

// What the bus achieves for bulk data at each speed (low, full, high, super,
// super-plus); unknown speeds count as high speed.
uint64_t CameraModel::link_rate() const {
    constexpr uint64_t kRateBySpeed[] = {53'000'000, 150'000,     1'200'000,
                                         53'000'000, 450'000'000, 900'000'000};
    if (config_.link_rate != 0) return config_.link_rate;
    return config_.speed < std::size(kRateBySpeed) ? kRateBySpeed[config_.speed] : kRateBySpeed[0];
}

void CameraModel::clear_halt(uint8_t endpoint) {
    if (has_endpoint(endpoint)) stream_.clear_halt();
}

}  // namespace nxsim
