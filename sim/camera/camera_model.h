// One simulated camera as the USB wire sees it: its identity on the bus, the
// command channel on the control endpoint (status replies, parameters,
// registers, resets, capture start and stop) and the frame stream on the
// bulk-in endpoint, with the faults it was told to show.
//
// Not thread-safe: the adapter that puts the camera on a bus serialises every
// call (the simulated libusb holds its lock).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/camera/data_channel.h"
#include "sim/camera/fault_plan.h"
#include "sim/camera/param_store.h"
#include "sim/camera/register_file.h"
#include "sim/camera/stream_engine.h"
#include "sim/camera/wire.h"
#include "sim/camsim.h"
#include "sim/physics/thermal_drift.h"

namespace nxsim {

class CameraModel {
  public:
    explicit CameraModel(CameraConfig config);

    // Identity on the bus. The generation counts enumerations, so that a
    // handle opened before a re-enumeration can be told from a new one.
    uint8_t bus() const { return config_.bus; }
    uint8_t port() const { return config_.port; }
    uint8_t address() const { return address_; }
    uint8_t speed() const { return config_.speed; }
    bool attached() const { return attached_; }
    uint32_t generation() const { return generation_; }
    std::optional<TimePoint> reattach_at() const { return reattach_at_; }
    void attach(uint8_t address);
    // Leaves the bus; comes back by itself at `back_at` when given.
    void detach(std::optional<TimePoint> back_at);
    void set_port(uint8_t port) { config_.port = port; }

    // The control endpoint: one request with its data stage.
    ControlOutcome control(const SetupPacket &setup, std::span<const uint8_t> data_out,
                           TimePoint now);
    // The bulk-in endpoint.
    BulkResult bulk_in(uint8_t endpoint, std::span<uint8_t> room, TimePoint now);
    TimePoint next_bulk_event(TimePoint now) const;
    bool has_endpoint(uint8_t endpoint) const { return endpoint == kStreamEndpoint; }
    void clear_halt(uint8_t endpoint);
    bool capturing() const { return stream_.running(); }
    std::optional<TimePoint> frame_sent_at(uint32_t index) const {
        return stream_.frame_sent_at(index);
    }
    // Stream bytes the camera could send right away without waiting for a
    // frame (SIZE_MAX: as many as asked for).
    size_t stream_backlog() const;
    // Bytes per second the bus moves from this camera (kUnlimitedLink: no limit).
    uint64_t link_rate() const;
    void set_link_rate(uint64_t bytes_per_second) { config_.link_rate = bytes_per_second; }

    // Host-side set-up the camera may refuse.
    bool refuses_open() { return faults_.take_refused_open(); }
    // A time-out is the host's view of a transfer: the adapter asks, for each
    // transfer that starts to take stream bytes, how many it gets before it
    // times out (nothing: it does not).
    std::optional<uint32_t> take_bulk_timeout() { return faults_.take_bulk_timeout(); }
    bool refuses_claim(uint8_t interface_number) {
        return faults_.take_refused_claim(interface_number);
    }

    // Test access.
    ParamStore &params() { return params_; }
    RegisterFile &registers() { return registers_; }
    FaultPlan &faults() { return faults_; }
    DataChannel &data_channel() { return data_; }
    const CameraCounters &counters() const { return counters_; }
    std::vector<WireRecord> &wire_log() { return wire_log_; }
    void set_stream_mode(StreamMode mode) { config_.mode = mode; }
    void set_frame_source(std::shared_ptr<FrameSource> source);
    const CameraConfig &config() const { return config_; }
    // Temperatures from now on (they drift on from these).
    void set_temperatures(int16_t sensor, int16_t board, TimePoint now);
    // The sensor settings a frame taken now gets.
    SensorState sensor_state(TimePoint now);

  private:
    // What a command did: an error text (empty: success) and, for requests
    // that read, the reply.
    struct Result {
        std::string error;
        std::vector<uint8_t> data_in;
    };

    std::vector<uint8_t> status_reply(const SetupPacket &setup);
    Result execute(const SetupPacket &setup, std::span<const uint8_t> data, TimePoint now);
    Result device_request(const SetupPacket &setup, std::span<const uint8_t> data, TimePoint now);
    Result register_request(const SetupPacket &setup, std::span<const uint8_t> data, TimePoint now);
    Result reset(std::span<const uint8_t> data, TimePoint now);
    Result param_set(std::span<const uint8_t> data);
    Result param_get_request(std::span<const uint8_t> data);
    Result param_get_reply(uint16_t length);
    Result reg_write(std::span<const uint8_t> data);
    Result reg_read_request(std::span<const uint8_t> data);
    Result reg_read_reply(uint16_t length);
    Result capture_start(std::span<const uint8_t> data, TimePoint now);
    Result capture_stop(std::span<const uint8_t> data);
    void restart(TimePoint now);
    StreamSettings stream_settings() const;
    // The temperatures follow the drift up to `now`.
    void refresh_temperatures(TimePoint now);
    std::shared_ptr<FrameSource> default_source() const;

    CameraConfig config_;
    std::shared_ptr<FrameSource> source_;
    uint8_t address_ = 0;
    bool attached_ = false;
    uint32_t generation_ = 0;
    std::optional<TimePoint> reattach_at_;

    ParamStore params_;
    physics::ThermalDrift thermal_;
    RegisterFile registers_;
    FaultPlan faults_;
    CameraCounters counters_;
    std::vector<WireRecord> wire_log_;
    StreamEngine stream_;
    DataChannel data_;
    // Booting a new firmware: the camera leaves the bus once the host has
    // read the status of the restart request.
    bool leave_after_status_ = false;

    // Status of the last command, as request 0xB0 reports it.
    uint8_t last_request_ = 0;
    uint8_t last_sub_ = 0;
    uint8_t status_ = kStatusOk;
    std::string message_;
    // The two-phase reads: what the request phase asked for.
    std::vector<uint8_t> pending_param_ids_;
    struct RegRead {
        uint8_t target;
        uint32_t base;
        uint32_t count;
    };
    std::optional<RegRead> pending_reg_read_;
};

}  // namespace nxsim
