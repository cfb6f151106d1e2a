// The camera's side of the data channel (request 0xCC): downloads into its
// flash and payload reads of its stored data block.
//
// Flash holds one image per data type. The data-info record (sub-code 0)
// describes the current image: the one the camera was configured with, or
// the last one downloaded. A download runs idle -> announced (ack status 3)
// -> erasing (status 4 for the configured number of polls) -> receiving
// (status 1, `next` = the chunk wanted) until `next` is the chunk count; each
// chunk's length and CRC-16/XMODEM are checked and a bad one is refused.
// After an image of type 0 or 1 the next board restart boots it: the camera
// then leaves the bus and enumerates again.
//
// Not thread-safe: the camera model's owner serialises every call.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/camera/fault_plan.h"
#include "sim/camera/wire.h"
#include "sim/camsim.h"

namespace nxsim {

class DataChannel {
  public:
    explicit DataChannel(const CameraConfig &config);

    struct Reply {
        std::string error;  // empty: success
        std::vector<uint8_t> data_in;
    };
    Reply handle(const SetupPacket &setup, std::span<const uint8_t> data, CameraCounters &counters,
                 FaultPlan &faults);

    // Drops a download in progress and pending reads (restart, leaving the bus).
    void abort();
    // True once after an image of type 0 or 1 was stored.
    bool take_boot_pending();

    void set_version(uint16_t version) { version_ = version; }
    void set_erase_polls(uint32_t polls) { erase_polls_ = polls; }
    void set_block(std::optional<std::vector<uint8_t>> block, uint8_t type);
    void inject(DataFault fault) { fault_ = fault; }
    void fail_payload_read(uint32_t nth) { payload_fail_in_ = nth; }
    void clear_faults();
    std::optional<std::vector<uint8_t>> image(uint8_t type) const;
    std::optional<std::vector<uint8_t>> current_block() const { return image(current_type_); }

  private:
    enum class State { Idle, Announced, Erasing, Receiving };

    Reply info_request(std::span<const uint8_t> data);
    Reply info_reply(uint16_t length);
    Reply announce(std::span<const uint8_t> data, FaultPlan &faults);
    Reply erase(std::span<const uint8_t> data, FaultPlan &faults);
    std::string check_chunk(std::span<const uint8_t> data) const;
    Reply chunk(std::span<const uint8_t> data, CameraCounters &counters, FaultPlan &faults);
    Reply ack_request(uint8_t sub, std::span<const uint8_t> data);
    Reply ack_reply(uint8_t sub, uint16_t length, CameraCounters &counters, FaultPlan &faults);
    Reply payload_request(std::span<const uint8_t> data);
    Reply payload_reply(uint16_t length, CameraCounters &counters, FaultPlan &faults);
    bool fault_strikes(DataFault::Point point, uint32_t chunk, FaultPlan &faults);
    uint32_t chunk_count() const;
    void store_download(CameraCounters &counters);

    // Flash.
    std::map<uint8_t, std::vector<uint8_t>> images_;
    uint8_t current_type_;
    uint16_t version_;
    uint32_t erase_polls_;

    // The download in progress.
    State state_ = State::Idle;
    uint8_t type_ = 0;
    uint16_t new_version_ = 0;
    uint32_t size_ = 0;
    uint32_t next_ = 0;
    uint32_t polls_left_ = 0;
    std::vector<uint8_t> received_;
    bool boot_pending_ = false;

    // Two-phase actions: what the write phase asked for.
    bool info_asked_ = false;
    std::optional<uint8_t> ack_asked_;  // the sub-code
    std::optional<uint16_t> payload_asked_;
    uint32_t payload_pos_ = 0;

    std::optional<DataFault> fault_;
    uint32_t payload_fail_in_ = 0;  // 0: off
};

}  // namespace nxsim
