#include "sim/camera/data_channel.h"

#include <algorithm>
#include <utility>

#include "sim/camera/status_message.h"
#include "sim/sim_bytes.h"

namespace nxsim {
namespace {

// Sub-codes.
constexpr uint8_t kSubInfo = 0;
constexpr uint8_t kSubAnnounce = 1;
constexpr uint8_t kSubAck = 4;
constexpr uint8_t kSubShortAck = 5;
constexpr uint8_t kSubChunk = 6;
constexpr uint8_t kSubErase = 7;
constexpr uint8_t kSubPayload = 17;

// Record sizes.
constexpr size_t kInfoSize = 16;
constexpr size_t kAnnounceSize = 12;
constexpr size_t kEraseSize = 13;
constexpr size_t kChunkHeaderSize = 6;
constexpr size_t kAckSize = 13;
constexpr size_t kShortAckSize = 9;
constexpr size_t kPayloadRequestSize = 12;

constexpr uint32_t kChunkSize = 1018;
constexpr uint32_t kNoValidData = 0xFFFFFFFF;
constexpr uint32_t kFlashCapacity = 64u << 20;  // per data type
constexpr uint32_t kFlashBase = 0x08000000;     // where type 0 lives; each type 1 MiB further

// Ack status values.
constexpr uint8_t kAckIdle = 0;
constexpr uint8_t kAckReady = 1;
constexpr uint8_t kAckAnnounced = 3;
constexpr uint8_t kAckErasing = 4;

// CRC-16/XMODEM, bit by bit: the camera's own check of every chunk.
uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc ^ byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? crc << 1 ^ 0x1021 : crc << 1);
    }
    return crc;
}

}  // namespace

std::vector<uint8_t> data_block_pattern(uint32_t size) {
    std::vector<uint8_t> block(size);
    uint32_t state = 0x2545F491u ^ size;
    for (uint8_t &byte : block) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<uint8_t>(state >> 11);
    }
    return block;
}

DataChannel::DataChannel(const CameraConfig &config)
    : current_type_(config.data_type),
      version_(config.data_version),
      erase_polls_(config.erase_polls) {
    if (config.data_block) images_[config.data_type] = *config.data_block;
}

void DataChannel::set_block(std::optional<std::vector<uint8_t>> block, uint8_t type) {
    current_type_ = type;
    if (block)
        images_[type] = std::move(*block);
    else
        images_.erase(type);
    payload_asked_.reset();
    payload_pos_ = 0;
}

std::optional<std::vector<uint8_t>> DataChannel::image(uint8_t type) const {
    auto it = images_.find(type);
    if (it == images_.end()) return std::nullopt;
    return it->second;
}

void DataChannel::clear_faults() {
    fault_.reset();
    payload_fail_in_ = 0;
}

void DataChannel::abort() {
    state_ = State::Idle;
    received_.clear();
    info_asked_ = false;
    ack_asked_.reset();
    payload_asked_.reset();
}

bool DataChannel::take_boot_pending() {
    return std::exchange(boot_pending_, false);
}

uint32_t DataChannel::chunk_count() const {
    return static_cast<uint32_t>((uint64_t{size_} + kChunkSize - 1) / kChunkSize);
}

bool DataChannel::fault_strikes(DataFault::Point point, uint32_t chunk, FaultPlan &faults) {
    if (!fault_ || fault_->point != point) return false;
    const bool per_chunk = point != DataFault::Point::Announce && point != DataFault::Point::Erase;
    if (per_chunk && fault_->chunk != chunk) return false;
    fault_.reset();
    faults.count_data_fault();
    return true;
}

DataChannel::Reply DataChannel::handle(const SetupPacket &setup, std::span<const uint8_t> data,
                                       CameraCounters &counters, FaultPlan &faults) {
    const bool in = setup.is_in();
    const auto sub = static_cast<uint8_t>(setup.value);
    if (setup.value > 0xFF)
        return {status_message("data channel: unknown sub %u", setup.value), {}};
    switch (sub) {
        case kSubInfo:
            return in ? info_reply(setup.length) : info_request(data);
        case kSubAnnounce:
            if (!in) return announce(data, faults);
            break;
        case kSubErase:
            if (!in) return erase(data, faults);
            break;
        case kSubChunk:
            if (!in) return chunk(data, counters, faults);
            break;
        case kSubAck:
        case kSubShortAck:
            return in ? ack_reply(sub, setup.length, counters, faults) : ack_request(sub, data);
        case kSubPayload:
            return in ? payload_reply(setup.length, counters, faults) : payload_request(data);
        default:
            return {status_message("data channel: unknown sub %u", sub), {}};
    }
    return {status_message("data channel sub %u: wrong direction", sub), {}};
}

// A new upload starts with the info record: payload reads begin at byte 0.
DataChannel::Reply DataChannel::info_request(std::span<const uint8_t> data) {
    info_asked_ = false;
    if (data.size() != kInfoSize)
        return {status_message("data info: %zu bytes, want 16", data.size()), {}};
    info_asked_ = true;
    payload_asked_.reset();
    payload_pos_ = 0;
    return {};
}

DataChannel::Reply DataChannel::info_reply(uint16_t length) {
    if (!std::exchange(info_asked_, false)) return {"data info: no request", {}};
    if (length != kInfoSize)
        return {status_message("data info: reply of %u bytes, want 16", length), {}};
    std::vector<uint8_t> record(kInfoSize, 0);
    auto it = images_.find(current_type_);
    record[0] = current_type_;
    put16(&record[2], version_);
    put32(&record[4],
          it != images_.end() ? static_cast<uint32_t>(it->second.size()) : kNoValidData);
    put32(&record[8], kFlashBase + (uint32_t{current_type_} << 20));
    return {{}, std::move(record)};
}

// An announce starts a download over, whatever was in progress.
DataChannel::Reply DataChannel::announce(std::span<const uint8_t> data, FaultPlan &faults) {
    if (data.size() != kAnnounceSize)
        return {status_message("announce: %zu bytes, want 12", data.size()), {}};
    if (fault_strikes(DataFault::Point::Announce, 0, faults)) return {"announce refused", {}};
    const uint32_t size = get32(&data[4]);
    if (size == 0 || size > kFlashCapacity)
        return {status_message("announce: image of %u bytes does not fit", size), {}};
    abort();
    state_ = State::Announced;
    type_ = data[0];
    new_version_ = get16(&data[2]);
    size_ = size;
    next_ = 0;
    return {};
}

DataChannel::Reply DataChannel::erase(std::span<const uint8_t> data, FaultPlan &faults) {
    if (data.size() != kEraseSize)
        return {status_message("erase: %zu bytes, want 13", data.size()), {}};
    if (state_ != State::Announced) return {"erase: no image announced", {}};
    if (fault_strikes(DataFault::Point::Erase, 0, faults)) return {"erase refused", {}};
    if (data[0] != type_ || get32(&data[1]) != size_)
        return {status_message("erase: type %u size %u, announced %u %u", data[0], get32(&data[1]),
                               type_, size_),
                {}};
    if (get32(&data[5]) != kChunkSize)
        return {status_message("erase: chunk size %u, want 1018", get32(&data[5])), {}};
    // The old image of this type is gone from here on.
    images_.erase(type_);
    payload_asked_.reset();
    received_.assign(size_, 0);
    polls_left_ = erase_polls_;
    state_ = State::Erasing;
    return {};
}

// Why chunk `next_` cannot be taken as sent; empty when it can.
std::string DataChannel::check_chunk(std::span<const uint8_t> data) const {
    if (state_ != State::Receiving || next_ >= chunk_count()) return "chunk: not expected";
    if (data.size() < kChunkHeaderSize) return "chunk: no header";
    const uint32_t len = get32(&data[2]);
    const auto payload = data.subspan(kChunkHeaderSize);
    const uint32_t want = std::min<uint32_t>(kChunkSize, size_ - next_ * kChunkSize);
    if (len != payload.size() || len != want)
        return status_message("chunk %u: length %u with %zu bytes, want %u", next_, len,
                              payload.size(), want);
    if (get16(&data[0]) != crc16(payload))
        return status_message("chunk %u: CRC 0x%04X, want 0x%04X", next_, get16(&data[0]),
                              crc16(payload));
    return {};
}

DataChannel::Reply DataChannel::chunk(std::span<const uint8_t> data, CameraCounters &counters,
                                      FaultPlan &faults) {
    std::string error = check_chunk(data);
    if (error.empty() && fault_strikes(DataFault::Point::Chunk, next_, faults))
        error = status_message("chunk %u refused", next_);
    if (!error.empty()) {
        ++counters.data_chunks_refused;
        return {error, {}};
    }
    if (fault_strikes(DataFault::Point::Lose, next_, faults)) return {};
    const auto payload = data.subspan(kChunkHeaderSize);
    std::copy(payload.begin(), payload.end(), received_.begin() + next_ * kChunkSize);
    ++counters.data_chunks;
    if (++next_ == chunk_count()) store_download(counters);
    return {};
}

void DataChannel::store_download(CameraCounters &counters) {
    images_[type_] = std::move(received_);
    received_.clear();
    current_type_ = type_;
    version_ = new_version_;
    payload_asked_.reset();
    payload_pos_ = 0;
    if (type_ <= 1) boot_pending_ = true;
    ++counters.downloads;
}

DataChannel::Reply DataChannel::ack_request(uint8_t sub, std::span<const uint8_t> data) {
    ack_asked_.reset();
    const size_t want = sub == kSubAck ? kAckSize : kShortAckSize;
    if (data.size() != want)
        return {status_message("ack %u: %zu bytes, want %zu", sub, data.size(), want), {}};
    ack_asked_ = sub;
    return {};
}

DataChannel::Reply DataChannel::ack_reply(uint8_t sub, uint16_t length, CameraCounters &counters,
                                          FaultPlan &faults) {
    if (ack_asked_ != sub) return {status_message("ack %u: no request", sub), {}};
    ack_asked_.reset();
    const size_t want = sub == kSubAck ? kAckSize : kShortAckSize;
    if (length != want)
        return {status_message("ack %u: reply of %u bytes, want %zu", sub, length, want), {}};
    std::vector<uint8_t> record(want, 0);
    uint32_t next = next_;
    uint8_t status = kAckIdle;
    switch (state_) {
        case State::Idle:
            break;
        case State::Announced:
            status = kAckAnnounced;
            break;
        case State::Erasing:
            if (polls_left_ > 0) {
                --polls_left_;
                ++counters.erase_polls;
                status = kAckErasing;
                break;
            }
            state_ = State::Receiving;
            [[fallthrough]];
        case State::Receiving:
            status = kAckReady;
            if (next_ > 0 && fault_strikes(DataFault::Point::Ack, next_ - 1, faults))
                return {status_message("ack after chunk %u lost", next_ - 1), std::move(record)};
            if (next_ > 0 && fault_strikes(DataFault::Point::Skip, next_ - 1, faults)) ++next;
            break;
    }
    put32(&record[0], next);
    record[4] = status;
    return {{}, std::move(record)};
}

DataChannel::Reply DataChannel::payload_request(std::span<const uint8_t> data) {
    payload_asked_.reset();
    if (data.size() != kPayloadRequestSize)
        return {status_message("payload: %zu bytes, want 12", data.size()), {}};
    const uint16_t len = get16(&data[4]);
    auto it = images_.find(current_type_);
    if (it == images_.end()) return {"payload: no valid data", {}};
    if (len == 0 || payload_pos_ + len > it->second.size())
        return {
            status_message("payload: %u bytes at %u of %zu", len, payload_pos_, it->second.size()),
            {}};
    payload_asked_ = len;
    return {};
}

DataChannel::Reply DataChannel::payload_reply(uint16_t length, CameraCounters &counters,
                                              FaultPlan &faults) {
    if (!payload_asked_) return {"payload: no request", {}};
    const uint16_t len = *std::exchange(payload_asked_, std::nullopt);
    if (length != len)
        return {status_message("payload: reply of %u bytes, asked %u", length, len), {}};
    if (payload_fail_in_ > 0 && --payload_fail_in_ == 0) {
        faults.count_data_fault();
        return {status_message("payload at %u: flash read error", payload_pos_), {}};
    }
    auto it = images_.find(current_type_);
    if (it == images_.end()) return {"payload: no valid data", {}};
    const std::vector<uint8_t> &block = it->second;
    if (payload_pos_ + len > block.size()) return {"payload: beyond the block", {}};
    std::vector<uint8_t> piece(block.begin() + payload_pos_, block.begin() + payload_pos_ + len);
    payload_pos_ += len;
    ++counters.payload_reads;
    return {{}, std::move(piece)};
}

}  // namespace nxsim
