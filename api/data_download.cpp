// Writing a firmware or data image into the camera's flash: announce it,
// wait for the flash to be erased, send it in CRC-protected chunks as the
// camera asks for them, then let the board restart or settle.
#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "api/data_channel.h"
#include "api/data_file.h"
#include "api/data_link.h"
#include "api/data_records.h"
#include "common/byte_order.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace nx::data {

namespace {

constexpr const char *kFn = "nivex_bin_data_write";

// The camera's 32-bit size field bounds an image; the ack's 32-bit `next`
// then counts every chunk of it.
constexpr uint64_t kMaxImageSize = UINT32_MAX;
static_assert((kMaxImageSize + kChunkSize - 1) / kChunkSize <= UINT32_MAX);

constexpr uint8_t kResetBoard = 0;

uint32_t chunk_count(uint32_t size) {
    return static_cast<uint32_t>((uint64_t{size} + kChunkSize - 1) / kChunkSize);
}

uint32_t chunk_length(uint32_t size, uint32_t index) {
    const uint64_t start = uint64_t{index} * kChunkSize;
    return static_cast<uint32_t>(std::min<uint64_t>(kChunkSize, size - start));
}

int failed() {
    NX_ERR(kFn, "[%s] data upgrade failed!\n");
    return -1;
}

bool device_gone(const DataLink &link) {
    if (!link.cancelled()) return false;
    NX_ERR(kFn, "[%s] device closed, transfer stopped\n");
    return true;
}

// Steps before anything is sent: the whole image in memory, or nothing.
std::optional<std::vector<uint8_t>> load_image(const char *file_name) {
    std::optional<InputFile> input = open_input(file_name);
    if (!input) {
        NX_INF(kFn, "[%s] File open failed\n");
        return std::nullopt;
    }
    NX_INF(kFn, "[%s] File size:%d\n", static_cast<int>(input->size));
    if (input->size == 0) {
        failed();
        return std::nullopt;
    }
    if (input->size > kMaxImageSize) {
        NX_ERR(kFn, "[%s] File too large: %llu bytes, at most %llu\n",
               static_cast<unsigned long long>(input->size),
               static_cast<unsigned long long>(kMaxImageSize));
        return std::nullopt;
    }
    std::vector<uint8_t> image;
    if (!read_input(*input, image)) {
        NX_ERR(kFn, "[%s] no memory for the image (%llu bytes)\n",
               static_cast<unsigned long long>(input->size));
        return std::nullopt;
    }
    NX_INF(kFn, "[%s] File read ok,%d\n", static_cast<int>(image.size()));
    if (image.size() != input->size) {
        NX_INF(kFn, "[%s] Firmware image file loading failed.\n");
        return std::nullopt;
    }
    NX_INF(kFn, "[%s] Firmware image file loaded.\n");
    return image;
}

// The camera's record of what it stores. A camera that cannot answer (one
// that holds no firmware to answer with, say) still takes the download, so
// a failed read is only reported and leaves the record zero.
data_info_record read_camera_info(const DataLink &link) {
    NX_DBG(kFn, "[%s] Get info\n");
    data_info_record info{};
    bool read;
    {
        auto lock = link.exchange();
        read = al_get_data_info(link.ll(), kActionInfo, &info, sizeof info);
    }
    if (!read) {
        NX_WRN(kFn, "[%s] data info not available: the camera's version is not known\n");
        info = {};
    }
    NX_INF(kFn, "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", load_le16(info.version),
           static_cast<unsigned short>(info.type), load_le32(info.addr),
           static_cast<int>(load_le32(info.size)));
    return info;
}

// Logged when the camera's ack is not the one the step waits for.
void log_unexpected_ack(const ack_record &ack, uint16_t version) {
    NX_ERR(kFn, "[%s] Wrong version(Target:%d,Now:%d)\n", static_cast<int>(load_le32(ack.next)),
           static_cast<int>(version));
}

bool ack_is(const ack_record &ack, uint32_t next, uint8_t status) {
    return load_le32(ack.next) == next && ack.status == status;
}

bool announce(const DataLink &link, uint8_t type, uint16_t version, uint32_t size) {
    NX_INF(kFn, "[%s] send action info\n");
    announce_record record{};
    record.type = type;
    store_le16(record.version, version);
    store_le32(record.size, size);
    ack_record ack{};
    {
        auto lock = link.exchange();
        if (al_data_send_action_info(link.ll(), kActionAnnounce, &record, nullptr) < 0)
            return false;
        if (al_data_read_action_info(link.ll(), kActionAck, &ack) != 1) return false;
    }
    NX_INF(kFn, "[%s] read ack: next=%d, status=%d\n", static_cast<int>(load_le32(ack.next)),
           static_cast<int>(ack.status));
    if (!ack_is(ack, 0, kAckAnnounceOk)) {
        log_unexpected_ack(ack, version);
        return false;
    }
    NX_INF(kFn, "[%s] INFO ack ok\n");
    return true;
}

// Polls until the camera stops answering "erase in progress"; bounded, so a
// camera stuck in its erase cannot hold the caller for ever.
std::optional<ack_record> wait_for_erase(const DataLink &link) {
    const Timing limits = timing();
    const auto deadline = std::chrono::steady_clock::now() + limits.erase_limit;
    for (;;) {
        if (device_gone(link)) return std::nullopt;
        ack_record ack{};
        int read;
        {
            auto lock = link.exchange();
            read = al_data_read_action_info(link.ll(), kActionAck, &ack);
        }
        if (read != 1) {
            // A close aborts the exchange in flight: say so rather than blame the camera.
            if (device_gone(link)) return std::nullopt;
            break;
        }
        if (ack.status != kAckEraseInProgress) return ack;
        if (std::chrono::steady_clock::now() >= deadline) {
            NX_ERR(kFn, "[%s] flash erase not finished after %lld ms\n",
                   static_cast<long long>(limits.erase_limit.count()));
            break;
        }
        std::this_thread::sleep_for(limits.erase_poll_pause);
    }
    NX_ERR(kFn, "[%s] DATA ACK failed\n");
    return std::nullopt;
}

bool erase(const DataLink &link, uint8_t type, uint16_t version, uint32_t size) {
    NX_INF(kFn, "[%s] Wait flash erase.....\n");
    erase_record record{};
    record.type = type;
    store_le32(record.size, size);
    store_le32(record.chunk_size, kChunkSize);
    {
        auto lock = link.exchange();
        if (al_data_send_action_info(link.ll(), kActionErase, &record, nullptr) < 0) return false;
    }
    std::optional<ack_record> ack = wait_for_erase(link);
    if (!ack) return false;
    NX_INF(kFn, "[%s] Download.....\n");
    if (!ack_is(*ack, 0, kAckReady)) {
        log_unexpected_ack(*ack, version);
        return false;
    }
    return true;
}

// Sends chunk `index` and reads the camera's ack for it; the camera's next
// wanted chunk, or nothing after logging why not.
std::optional<uint32_t> send_chunk(const DataLink &link, const std::vector<uint8_t> &image,
                                   uint32_t index, chunk_record &chunk) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t len = chunk_length(size, index);
    std::memcpy(chunk.data, image.data() + uint64_t{index} * kChunkSize, len);
    store_le16(chunk.head.crc, al_data_calc_crc(chunk.data, static_cast<uint16_t>(len)));
    store_le32(chunk.head.len, len);
    ack_record ack{};
    int8_t sent;
    int acked = 0;
    {
        auto lock = link.exchange();
        sent = al_data_send_action_info(link.ll(), kActionChunk, &chunk.head, chunk.data);
        if (sent > 0) acked = al_data_read_action_info(link.ll(), kActionAck, &ack);
    }
    if (sent < 0) {
        NX_INF(kFn, "[%s] Data transfer failed D.\n");
        return std::nullopt;
    }
    if (acked != 1) {
        NX_INF(kFn, "[%s] Data transfer failed C.\n");
        return std::nullopt;
    }
    const uint32_t next = load_le32(ack.next);
    if (next == index) {
        // The camera did not take the chunk; it is not sent again.
        NX_INF(kFn, "[%s] Data transfer failed A.indx%d, %d\n", static_cast<int>(index),
               static_cast<int>(index));
        return std::nullopt;
    }
    if (next != index + 1) {
        NX_INF(kFn, "[%s] Data transfer failed B.\n");
        return std::nullopt;
    }
    return next;
}

bool send_image(const DataLink &link, const std::vector<uint8_t> &image) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    const uint32_t count = chunk_count(size);
    chunk_record chunk{};
    link.progress(0, size);
    for (uint32_t index = 0;;) {
        if (device_gone(link)) return false;
        std::optional<uint32_t> next = send_chunk(link, image, index, chunk);
        if (!next) {
            device_gone(link);
            return false;
        }
        link.progress(static_cast<uint32_t>(std::min<uint64_t>(uint64_t{*next} * kChunkSize, size)),
                      size);
        if (*next == count) {
            NX_INF(kFn, "[%s] Data transfer finished.\n");
            return true;
        }
        index = *next;
    }
}

void warning_banner() {
    NX_WRN(kFn, "[%s] ----------------------------------------------------------\n");
    NX_WRN(kFn, "[%s] !!! DO NOT RESET or POWER OFF the board until return !!!!\n");
    NX_WRN(kFn, "[%s] ----------------------------------------------------------\n");
}

// Types 0 and 1 take effect when the board restarts; 2 and 3 need the camera
// to settle; higher types neither.
void finish(const DataLink &link, uint8_t type) {
    if (type > 3) return;
    const Timing waits = timing();
    if (type <= 1) {
        {
            auto lock = link.exchange();
            nivex_ll_dev_reset(link.ll(), kResetBoard);
        }
        NX_WRN(kFn, "[%s]  * Wait board to reset...\n");
        warning_banner();
        link.closing_wait(waits.restart_wait);
    } else {
        warning_banner();
        link.closing_wait(waits.settle_wait);
    }
}

}  // namespace

int download(const DataLink &link, uint8_t type, uint16_t version, const char *file_name) {
    NX_INF(kFn, "[%s] name:%s, type:%hu, version:%hu\n",
           file_name != nullptr ? file_name : "(null)", static_cast<unsigned short>(type), version);
    std::optional<std::vector<uint8_t>> image = load_image(file_name);
    if (!image) return -1;
    const uint32_t size = static_cast<uint32_t>(image->size());
    if (device_gone(link)) return -1;
    const data_info_record info = read_camera_info(link);
    const uint16_t camera_version = load_le16(info.version);
    if (camera_version >= version) {
        NX_ERR(kFn, "[%s] Wrong version(Target:%d,Now:%d)\n", static_cast<int>(version),
               static_cast<int>(camera_version));
        return -1;
    }
    if (device_gone(link) || !announce(link, type, version, size) ||
        !erase(link, type, version, size) || !send_image(link, *image)) {
        return failed();
    }
    image.reset();  // not held through the closing wait
    finish(link, type);
    return 1;
}

}  // namespace nx::data

extern "C" int nivex_bin_data_write(ll_device *ll, uint8_t type, uint16_t version,
                                    uint32_t /*addr*/, const char *file_name) {
    return nx::data::download(nx::data::DataLink(ll), type, version, file_name);
}
