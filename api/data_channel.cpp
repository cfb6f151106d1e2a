// The data channel's actions: each is a write phase and, for the reading
// actions, a read phase, every phase followed by the camera's status for
// (204, sub-code).
#include "api/data_channel.h"

#include <array>
#include <cstring>

#include "api/data_records.h"
#include "common/byte_order.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

using namespace nx::data;

namespace {

constexpr uint8_t kDirOut = 1;
constexpr uint8_t kDirIn = 0;

// One phase of an action and the camera's verdict on it.
bool phase(ll_device *ll, uint8_t dir, uint8_t action, void *data, int len, uint32_t timeout_ms) {
    return nivex_ll_exe_cmd(ll, dir, kDataCmd, action, data, len, timeout_ms) &&
           nivex_ll_check_last_cmd(ll, kDataCmd, action);
}

// Write phase of `out_len` bytes from `buf`, then read phase of `in_len`
// bytes into it; a failed phase is logged under `fn`.
bool write_then_read(const char *fn, ll_device *ll, uint8_t action, void *buf, int out_len,
                     int in_len, uint32_t timeout_ms) {
    if (!phase(ll, kDirOut, action, buf, out_len, timeout_ms)) {
        NX_ERR(fn, "[%s] write phase failed\n");
        return false;
    }
    if (!phase(ll, kDirIn, action, buf, in_len, timeout_ms)) {
        NX_ERR(fn, "[%s] read phase failed\n");
        return false;
    }
    return true;
}

bool send_record(ll_device *ll, uint8_t action, const void *record, int len, uint32_t timeout_ms) {
    std::array<uint8_t, sizeof(erase_record)> copy{};
    static_assert(sizeof(announce_record) <= sizeof copy && sizeof(ack_record) <= sizeof copy);
    std::memcpy(copy.data(), record, static_cast<size_t>(len));
    return phase(ll, kDirOut, action, copy.data(), len, timeout_ms);
}

// Header and data go out as one request of 6 + n bytes.
int8_t send_chunk(ll_device *ll, const void *header, const void *payload) {
    constexpr const char *kFn = "al_data_send_action_info";
    chunk_record chunk;
    std::memcpy(&chunk.head, header, sizeof chunk.head);
    const uint32_t n = nx::load_le32(chunk.head.len);
    if (n == 0) return -1;
    if (n > kChunkSize || payload == nullptr) {
        NX_ERR(kFn, "[%s] wrong chunk: len=%u, data=%p\n", n, payload);
        return -1;
    }
    std::memcpy(chunk.data, payload, n);
    const int len = static_cast<int>(sizeof chunk.head + n);
    return phase(ll, kDirOut, kActionChunk, &chunk, len, kChunkTimeoutMs) ? 1 : -1;
}

void log_announce(const void *record) {
    announce_record ann;
    std::memcpy(&ann, record, sizeof ann);
    NX_INF("al_data_send_action_info", "[%s] type = %hu, version = %hu, size = %d\n",
           static_cast<unsigned short>(ann.type), nx::load_le16(ann.version),
           static_cast<int>(nx::load_le32(ann.size)));
}

}  // namespace

extern "C" {

int8_t al_data_send_action_info(ll_device *ll, uint8_t action, const void *record,
                                const void *payload) {
    if (record == nullptr) return -1;
    bool sent = false;
    switch (action) {
        case kActionAnnounce:
            log_announce(record);
            sent = send_record(ll, action, record, sizeof(announce_record), kAnnounceTimeoutMs);
            break;
        case kActionErase:
            sent = send_record(ll, action, record, sizeof(erase_record), kEraseTimeoutMs);
            break;
        case kActionAck:
            sent = send_record(ll, action, record, sizeof(ack_record), kAckRequestTimeoutMs);
            break;
        case kActionChunk:
            return send_chunk(ll, record, payload);
        default:
            return -1;
    }
    return sent ? 1 : -1;
}

int al_data_read_action_info(ll_device *ll, uint8_t action, void *out) {
    constexpr const char *kFn = "al_data_read_action_info";
    int len = 0;
    if (action == kActionAck)
        len = sizeof(ack_record);
    else if (action == kActionShortAck)
        len = sizeof(short_ack_record);
    else
        return 1;
    if (out == nullptr) {
        NX_ERR(kFn, "[%s] wrong params: out=NULL\n");
        return -1;
    }
    // The write phase's bytes carry no meaning to the camera.
    std::array<uint8_t, sizeof(ack_record)> buf{};
    if (!phase(ll, kDirOut, action, buf.data(), len, kAckTimeoutMs)) {
        NX_ERR(kFn, "[%s] Write phase failed\n");
        return 0;
    }
    if (!phase(ll, kDirIn, action, buf.data(), len, kAckTimeoutMs)) {
        NX_ERR(kFn, "[%s] Read phase failed\n");
        return -1;
    }
    std::memcpy(out, buf.data(), static_cast<size_t>(len));
    return 1;
}

bool al_get_data_info(ll_device *ll, uint8_t action_code, void *record, uint32_t size) {
    const int len = static_cast<int>(size & 0xFF);
    if (record == nullptr && len > 0) return false;
    return write_then_read("al_get_data_info", ll, action_code, record, len, len, kInfoTimeoutMs);
}

bool al_get_data_payload(ll_device *ll, uint8_t *request, uint16_t len) {
    if (request == nullptr) return false;
    nx::store_le16(request + offsetof(payload_request, len), len);
    return write_then_read("al_get_data_payload", ll, kActionPayload, request,
                           sizeof(payload_request), len, kPayloadTimeoutMs);
}

}  // extern "C"
