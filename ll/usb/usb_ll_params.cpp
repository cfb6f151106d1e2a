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

// A reply is taken only when every entry names the parameter asked for in
// its place and carries a length its value area can hold; anything else is
// the answer to another request (or a broken one), never this call's values.
bool reply_matches(ll_param_entry *batch, const uint8_t *asked, int n) {
    constexpr const char *fn = "usb_ll_param_get";
    bool good = true;
    for (int i = 0; i < n; ++i) {
        if (batch[i].id != asked[i]) {
            NX_ERR(fn, "[%s] reply entry %d is parameter %u, asked for %u\n", i, batch[i].id,
                   asked[i]);
            good = false;
        }
        if (batch[i].len > sizeof batch[i].val) {
            NX_ERR(fn, "[%s] parameter %u reports %u value bytes, an entry holds %zu\n",
                   batch[i].id, batch[i].len, sizeof batch[i].val);
            batch[i].len = sizeof batch[i].val;
            good = false;
        }
    }
    return good;
}

}  // namespace

bool usb_ll_param_set(ll_device *ll, const ll_param_entry *entries, int count) {
    if (count < 0 || count > kMaxEntriesPerSet || (count > 0 && entries == nullptr)) {
        NX_ERR("usb_ll_param_set", "[%s] cannot set %d parameters in one request\n", count);
        return false;
    }
    return usb_cmd_send_checked(ll, REQ_DEV, kSubParamSet, entries, kEntrySize * count);
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
        uint8_t asked[kMaxEntriesPerGet];
        for (int i = 0; i < n; ++i)
            asked[i] = batch[i].id;
        if (!usb_cmd_send_checked(ll, REQ_DEV, kSubParamGet, batch, kEntrySize * n)) {
            NX_ERR(fn, "[%s] write phase failed\n");
            return false;
        }
        if (!usb_cmd_recv_checked(ll, REQ_DEV, kSubParamGet, batch, kEntrySize * n)) {
            NX_ERR(fn, "[%s] read phase failed\n");
            return false;
        }
        if (!reply_matches(batch, asked, n)) return false;
        done += n;
    }
    return true;
}
