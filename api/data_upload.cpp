// Copying the camera's stored data block into a host file: read its
// data-info record, then the block itself in pieces of 450 bytes. The file
// is a plain byte copy; it appears only when every piece arrived.
#include <algorithm>
#include <array>

#include "api/data_channel.h"
#include "api/data_link.h"
#include "api/data_records.h"
#include "api/staged_file.h"
#include "common/byte_order.h"
#include "common/nx_log.h"

namespace nx::data {

namespace {

constexpr const char *kFn = "nivex_bin_data_read";
constexpr const char *kDefaultFile = "calib.bin";

bool read_info(const DataLink &link, data_info_record &info) {
    NX_DBG(kFn, "[%s] Get info\n");
    auto lock = link.exchange();
    return al_get_data_info(link.ll(), kActionInfo, &info, sizeof info);
}

// Reads the block into `out`; false after logging at the first failure.
bool copy_block(const DataLink &link, uint32_t size, StagedFile &out) {
    std::array<uint8_t, kPieceSize> piece{};
    uint32_t done = 0;
    link.progress(0, size);
    while (done < size) {
        if (link.cancelled()) {
            NX_ERR(kFn, "[%s] device closed, transfer stopped\n");
            return false;
        }
        const auto len = static_cast<uint16_t>(std::min(kPieceSize, size - done));
        std::fill_n(piece.begin(), sizeof(payload_request), 0);
        bool read;
        {
            auto lock = link.exchange();
            read = al_get_data_payload(link.ll(), piece.data(), len);
        }
        if (!read) {
            NX_ERR(kFn, "[%s] Read data failed at byte %u of %u\n", done, size);
            return false;
        }
        if (!out.write(piece.data(), len)) {
            NX_ERR(kFn, "[%s] File write failed\n");
            return false;
        }
        done += len;
        link.progress(done, size);
    }
    return true;
}

}  // namespace

int upload(const DataLink &link, uint32_t type, const char *file_name) {
    data_info_record info{};
    if (!read_info(link, info)) {
        NX_ERR(kFn, "[%s] Get data info failed\n");
        return -1;
    }
    const uint32_t size = load_le32(info.size);
    NX_INF(kFn, "[%s] Version:%hu,type:%hu, addr:0x%x,data size:%d\n", load_le16(info.version),
           static_cast<unsigned short>(type), load_le32(info.addr), static_cast<int>(size));
    if (size == kNoValidData) {
        NX_ERR(kFn, "[%s] No valid data to read, please check\n");
        return -1;
    }
    StagedFile out(file_name != nullptr ? file_name : kDefaultFile);
    if (!out.ok()) {
        NX_ERR(kFn, "[%s] File open failed\n");
        return -1;
    }
    if (!copy_block(link, size, out)) return -1;
    if (!out.commit()) {
        NX_ERR(kFn, "[%s] File write failed\n");
        return -1;
    }
    return 1;
}

}  // namespace nx::data

extern "C" int nivex_bin_data_read(ll_device *ll, uint32_t type, const char *file_name) {
    return nx::data::upload(nx::data::DataLink(ll), type, file_name);
}
