// What a simulated camera sees of the USB wire: setup packets with their data
// stage, bulk-in reads, and the outcomes it answers with. The camera model
// speaks only this, so any USB adapter (the simulated libusb, or the real one
// behind a usbfs stand-in) can put it on a bus.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace nxsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

inline constexpr uint16_t kVendorId = 0x111B;
inline constexpr uint16_t kProductId = 0x1238;
inline constexpr uint8_t kConfiguration = 1;
inline constexpr uint8_t kInterfaceCount = 2;
inline constexpr uint8_t kStreamEndpoint = 0x81;
inline constexpr size_t kSetupSize = 8;

// Control requests the camera understands (class requests, endpoint recipient).
inline constexpr uint8_t kRequestTypeOut = 0x22;
inline constexpr uint8_t kRequestTypeIn = 0xA2;
inline constexpr uint8_t kReqDevice = 0xC0;
inline constexpr uint8_t kReqRegister = 0xC2;
inline constexpr uint8_t kReqData = 0xCC;
inline constexpr uint8_t kReqStatus = 0xB0;

// Status reply of request 0xB0.
inline constexpr size_t kStatusReplySize = 63;
inline constexpr size_t kStatusMessageSize = 60;
inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusBusy = 0xFE;
inline constexpr uint8_t kStatusError = 0xFF;

struct SetupPacket {
    uint8_t request_type = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    bool is_in() const { return (request_type & 0x80) != 0; }
    bool is_class() const { return (request_type & 0x60) == 0x20; }
    static SetupPacket parse(std::span<const uint8_t, kSetupSize> bytes) {
        return {bytes[0], bytes[1], static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
                static_cast<uint16_t>(bytes[4] | bytes[5] << 8),
                static_cast<uint16_t>(bytes[6] | bytes[7] << 8)};
    }
};

enum class ControlEnd {
    Completed,  // data stage and status stage done
    Stall,      // the camera refused the request
    Hang,       // no answer until the host cancels the transfer
};

struct ControlOutcome {
    ControlEnd end = ControlEnd::Completed;
    std::vector<uint8_t> data_in;  // camera-to-host requests: the reply
    uint32_t cancel_delay_ms = 0;  // Hang: how long a cancellation takes
};

enum class BulkEnd {
    Full,     // the transfer's buffer is full
    Short,    // the camera ran out of data to send (a short packet)
    Waiting,  // nothing to send now; the transfer stays queued
    Stall,    // the endpoint is halted
};

struct BulkResult {
    size_t bytes = 0;
    BulkEnd end = BulkEnd::Waiting;
};

}  // namespace nxsim
