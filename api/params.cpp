// Parameter batches and register runs: the public face of the camera's
// settings, converted to the transport's 20-byte parameter entries.
#include <cstring>
#include <vector>

#include "api/params.h"
#include "api/session.h"
#include "common/byte_order.h"
#include "common/nx_log.h"
#include "ll/ll_ops.h"

namespace {

constexpr const char *kGetStepFn = "_nivex_param_batch_get";
constexpr const char *kSetStepFn = "_nivex_param_batch_set";

// One control transfer carries at most 65535 bytes of entries.
constexpr int kMaxSetEntries = 0xFFFF / static_cast<int>(sizeof(ll_param_entry));

bool valid_batch(const char *fn, const nivex_param_entry *items, int count) {
    if (items != nullptr && count > 0) return true;
    NX_ERR(fn, "[%s] wrong params: param_items=%p, item_cnt=%d\n", static_cast<const void *>(items),
           count);
    return false;
}

// Entries for the wire; empty when they cannot be allocated.
std::vector<ll_param_entry> wire_entries(const nivex_param_entry *items, int count,
                                         bool with_values) {
    std::vector<ll_param_entry> entries;
    try {
        entries.resize(static_cast<size_t>(count));
    } catch (const std::exception &) {
        return {};
    }
    for (int i = 0; i < count; ++i) {
        entries[i].id = static_cast<uint8_t>(items[i].param_id & 0xFF);
        entries[i].len = items[i].param_val_len;
        if (with_values) std::memcpy(entries[i].val, &items[i].param_val, sizeof entries[i].val);
    }
    return entries;
}

}  // namespace

namespace nx {

bool param_get(Session &session, ll_param_entry *entries, int count) {
    NX_DBG(kGetStepFn, "[%s] get %d param\n", count);
    return nivex_ll_param_get(&session, entries, count);
}

}  // namespace nx

extern "C" {

bool nivex_param_batch_set(nivex_device *dev, nivex_param_entry *param_items, int item_cnt) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle("nivex_param_batch_set");
        return false;
    }
    if (!valid_batch("nivex_param_batch_set", param_items, item_cnt)) return false;
    if (item_cnt > kMaxSetEntries) {
        NX_ERR("nivex_param_batch_set", "[%s] too many params in one batch: %d (max %d)\n",
               item_cnt, kMaxSetEntries);
        return false;
    }
    std::vector<ll_param_entry> entries = wire_entries(param_items, item_cnt, true);
    if (entries.empty()) return false;
    for (const ll_param_entry &entry : entries) {
        if (entry.id != NIVEX_PARAM_FRAME_RATE) continue;
        const uint32_t fps = nx::load_le32(entry.val);
        NX_DBG(kSetStepFn, "[%s] Set FPS:%d\n", static_cast<int>(fps));
    }
    NX_DBG(kSetStepFn, "[%s] set %d param\n", item_cnt);
    if (!call.open()) {
        nx::log_no_handle(kSetStepFn);
        return false;
    }
    std::lock_guard commands(call.session()->cmd_mutex);
    if (!nivex_ll_param_set(call.session(), entries.data(), item_cnt)) return false;
    call.session()->settings.record_params(entries);
    return true;
}

bool nivex_param_batch_get(nivex_device *dev, nivex_param_entry *param_items, int item_cnt) {
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle("nivex_param_batch_get");
        return false;
    }
    if (!valid_batch("nivex_param_batch_get", param_items, item_cnt)) return false;
    std::vector<ll_param_entry> entries = wire_entries(param_items, item_cnt, false);
    if (entries.empty()) return false;
    {
        std::lock_guard commands(call.session()->cmd_mutex);
        if (!nx::param_get(*call.session(), entries.data(), item_cnt)) return false;
    }
    for (int i = 0; i < item_cnt; ++i) {
        param_items[i].param_val_len = entries[i].len;
        std::memcpy(&param_items[i].param_val, entries[i].val, sizeof entries[i].val);
    }
    return true;
}

bool nivex_reg_batch_write(nivex_device *dev, uint32_t target, uint32_t reg_base,
                           const uint32_t *val_buf, uint32_t reg_cnt) {
    NX_TRC("nivex_reg_batch_write", "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n",
           static_cast<int>(target), static_cast<int>(reg_base), static_cast<int>(reg_cnt & 0xFFFF),
           static_cast<const void *>(val_buf));
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle("nivex_reg_batch_write");
        return false;
    }
    if (val_buf == nullptr && (reg_cnt & 0xFFFF) != 0) {
        NX_ERR("nivex_reg_batch_write", "[%s] wrong params: val_buf=%p\n",
               static_cast<const void *>(val_buf));
        return false;
    }
    std::lock_guard commands(call.session()->cmd_mutex);
    return nivex_ll_reg_write(call.session(), target, reg_base, val_buf, reg_cnt);
}

bool nivex_reg_batch_read(nivex_device *dev, uint32_t target, uint32_t reg_base, uint32_t *val_buf,
                          uint32_t reg_cnt) {
    NX_TRC("nivex_reg_batch_read", "[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n",
           static_cast<int>(target), static_cast<int>(reg_base), static_cast<int>(reg_cnt & 0xFFFF),
           static_cast<void *>(val_buf));
    nx::ApiCall call(dev);
    if (!call.open()) {
        nx::log_no_handle("nivex_reg_batch_read");
        return false;
    }
    if (val_buf == nullptr && (reg_cnt & 0xFFFF) != 0) {
        NX_ERR("nivex_reg_batch_read", "[%s] wrong params: val_buf=%p\n",
               static_cast<void *>(val_buf));
        return false;
    }
    std::lock_guard commands(call.session()->cmd_mutex);
    return nivex_ll_reg_read(call.session(), target, reg_base, val_buf, reg_cnt);
}

}  // extern "C"
