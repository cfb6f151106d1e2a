// Parameter batches: one request sets any number of entries; gets move at
// most 3 entries per exchange, the camera overwriting each with its value.
#include <algorithm>

#include "common/nx_log.h"
#include "ll/usb/usb_ll_cmd.h"

namespace {

constexpr int kEntrySize = sizeof(ll_param_entry);
constexpr int kMaxEntriesPerGet = 3;
// The request length is 16-bit on the wire.
constexpr int kMaxEntriesPerSet = UINT16_MAX / kEntrySize;

}  // namespace

bool usb_ll_param_set(ll_device *ll, const ll_param_entry *entries, int count) {
    if (count < 0 || count > kMaxEntriesPerSet || (count > 0 && entries == nullptr)) {
        NX_ERR("usb_ll_param_set", "[%s] cannot set %d parameters in one request\n", count);
        return false;
    }
    return usb_cmd_send_checked(ll, REQ_DEV, SUB_PARAM_SET, entries, kEntrySize * count);
}

bool usb_ll_param_get(ll_device *ll, ll_param_entry *entries, int count) {
    constexpr const char *fn = "usb_ll_param_get";
    if (count <= 0) return true;
    if (entries == nullptr) {
        NX_ERR(fn, "[%s] no parameter entries\n");
        return false;
    }
    for (int i = 0; i < count; ++i) {
        entries[i].len = 0;
        std::fill(std::begin(entries[i].val), std::end(entries[i].val), uint8_t{0});
    }
    for (int done = 0; done < count;) {
        const int n = std::min(count - done, kMaxEntriesPerGet);
        ll_param_entry *batch = entries + done;
        if (!usb_cmd_send_checked(ll, REQ_DEV, SUB_PARAM_GET, batch, kEntrySize * n)) {
            NX_ERR(fn, "[%s] write phase failed\n");
            return false;
        }
        if (!usb_cmd_recv_checked(ll, REQ_DEV, SUB_PARAM_GET, batch, kEntrySize * n)) {
            NX_ERR(fn, "[%s] read phase failed\n");
            return false;
        }
        done += n;
    }
    return true;
}
