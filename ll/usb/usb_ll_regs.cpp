// Sensor register access: one request writes any number of registers; reads
// move at most 16 registers per exchange.
#include <algorithm>
#include <new>
#include <vector>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_cmd.h"

namespace {

constexpr int kRegHeaderSize = 7;  // target, first register, byte count
constexpr int kMaxRegsPerRead = 16;
// The byte count (and the request length) are 16-bit on the wire.
constexpr int kMaxRegsPerWrite = (UINT16_MAX - kRegHeaderSize) / 4;

void put_reg_header(uint8_t *out, uint8_t target, uint32_t first_reg, int reg_cnt) {
    out[0] = target;
    nx::store_le16(nx::store_le32(out + 1, first_reg), static_cast<uint16_t>(4 * reg_cnt));
}

}  // namespace

bool usb_ll_reg_write(ll_device *ll, uint8_t target, uint32_t reg_base, const uint32_t *values,
                      uint16_t reg_cnt) {
    constexpr const char *fn = "usb_ll_reg_write";
    if (reg_cnt > kMaxRegsPerWrite || (reg_cnt > 0 && values == nullptr)) {
        NX_ERR(fn, "[%s] cannot write %u registers in one request\n", reg_cnt);
        return false;
    }
    std::vector<uint8_t> block;
    try {
        block.resize(kRegHeaderSize + 4 * static_cast<size_t>(reg_cnt));
    } catch (const std::bad_alloc &) {
        NX_ERR(fn, "[%s] malloc failed\n");
        return false;
    }
    put_reg_header(block.data(), target, reg_base, reg_cnt);
    uint8_t *out = block.data() + kRegHeaderSize;
    for (int i = 0; i < reg_cnt; ++i)
        out = nx::store_le32(out, values[i]);
    return usb_cmd_send_checked(ll, REQ_REG, kSubRegWrite, block.data(),
                                static_cast<int>(block.size()));
}

bool usb_ll_reg_read(ll_device *ll, uint8_t target, uint32_t reg_base, uint32_t *values,
                     uint16_t reg_cnt) {
    constexpr const char *fn = "usb_ll_reg_read";
    if (reg_cnt == 0) return true;
    if (values == nullptr) {
        NX_ERR(fn, "[%s] no room for the values\n");
        return false;
    }
    int remaining = reg_cnt;
    uint32_t first_reg = reg_base;
    uint32_t *out = values;
    while (remaining > 0) {
        const int n = std::min(remaining, kMaxRegsPerRead);
        uint8_t request[kRegHeaderSize];
        put_reg_header(request, target, first_reg, n);
        if (!usb_cmd_send_checked(ll, REQ_REG, kSubRegRead, request, kRegHeaderSize)) {
            NX_ERR(fn, "[%s] write phase failed\n");
            return false;
        }
        if (!usb_cmd_recv_checked(ll, REQ_REG, kSubRegRead, out, 4 * n)) {
            NX_ERR(fn, "[%s] read phase failed\n");
            return false;
        }
        nx::le32_to_host(out, n);
        first_reg += static_cast<uint32_t>(n);
        out += n;
        remaining -= n;
    }
    return true;
}
