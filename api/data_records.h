// The records of the camera's data channel: command 204 of the command
// exchange, whose sub-code names the action. Every record travels packed and
// little-endian; multi-byte fields are byte arrays filled with nx::store_le*
// and read with nx::load_le*, so the layout never depends on the host.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::data {

inline constexpr uint8_t kDataCmd = 204;

// Sub-codes (action types).
inline constexpr uint8_t kActionInfo = 0;
inline constexpr uint8_t kActionAnnounce = 1;
inline constexpr uint8_t kActionAck = 4;
inline constexpr uint8_t kActionShortAck = 5;
inline constexpr uint8_t kActionChunk = 6;
inline constexpr uint8_t kActionErase = 7;
inline constexpr uint8_t kActionPayload = 17;

// Transfer time-outs handed to the USB library, per phase.
inline constexpr uint32_t kInfoTimeoutMs = 1000;
inline constexpr uint32_t kAnnounceTimeoutMs = 10000;
inline constexpr uint32_t kEraseTimeoutMs = 10000;
inline constexpr uint32_t kAckRequestTimeoutMs = 1000;
inline constexpr uint32_t kAckTimeoutMs = 5000;
inline constexpr uint32_t kChunkTimeoutMs = 1000;
inline constexpr uint32_t kPayloadTimeoutMs = 1000;

// An image travels in chunks of this many bytes; a stored block comes back
// in pieces of kPieceSize.
inline constexpr uint32_t kChunkSize = 1018;
inline constexpr uint32_t kPieceSize = 450;

// Size field of the data-info record when the camera holds no valid data.
inline constexpr uint32_t kNoValidData = 0xFFFFFFFF;

// Ack status values.
inline constexpr uint8_t kAckReady = 1;            // ready for data
inline constexpr uint8_t kAckAnnounceOk = 3;       // announce accepted
inline constexpr uint8_t kAckEraseInProgress = 4;  // ask again

#pragma pack(push, 1)

struct data_info_record {
    uint8_t type;
    uint8_t reserved0;
    uint8_t version[2];
    uint8_t size[4];  // kNoValidData: nothing stored
    uint8_t addr[4];
    uint8_t reserved1[4];
};

struct announce_record {
    uint8_t type;
    uint8_t reserved0;
    uint8_t version[2];
    uint8_t size[4];
    uint8_t reserved1[4];
};

struct erase_record {
    uint8_t type;
    uint8_t size[4];
    uint8_t chunk_size[4];
    uint8_t zero[4];
};

struct chunk_header {
    uint8_t crc[2];
    uint8_t len[4];
};

// A chunk as it goes on the wire: the header, then len data bytes.
struct chunk_record {
    chunk_header head;
    uint8_t data[kChunkSize];
};

struct ack_record {
    uint8_t next[4];  // index of the chunk the camera expects next
    uint8_t status;
    uint8_t unused[8];
};

struct short_ack_record {
    uint8_t next[4];
    uint8_t status;
    uint8_t unused[4];
};

struct payload_request {
    uint8_t unused0[4];
    uint8_t len[2];  // bytes wanted
    uint8_t unused1[6];
};

#pragma pack(pop)

static_assert(sizeof(data_info_record) == 16);
static_assert(offsetof(data_info_record, version) == 2 && offsetof(data_info_record, size) == 4 &&
              offsetof(data_info_record, addr) == 8);
static_assert(sizeof(announce_record) == 12);
static_assert(offsetof(announce_record, version) == 2 && offsetof(announce_record, size) == 4);
static_assert(sizeof(erase_record) == 13);
static_assert(offsetof(erase_record, size) == 1 && offsetof(erase_record, chunk_size) == 5);
static_assert(sizeof(chunk_header) == 6);
static_assert(sizeof(chunk_record) == 6 + kChunkSize);
static_assert(sizeof(ack_record) == 13);
static_assert(offsetof(ack_record, status) == 4);
static_assert(sizeof(short_ack_record) == 9);
static_assert(sizeof(payload_request) == 12);
static_assert(offsetof(payload_request, len) == 4);
// A payload answer lands in the buffer that carried its request.
static_assert(kPieceSize >= sizeof(payload_request));

}  // namespace nx::data
