// Automatic integration time: too many saturated or dark samples shorten the
// exposure, a frame without bright samples lengthens it.
#include <algorithm>
#include <chrono>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_features.h"

namespace nx::epc {
namespace {

constexpr const char *kStepFn = "_feature_auto_intg_calc_step";
constexpr const char *kFn = "_feature_auto_intg";
constexpr int kMinTimeUs = 50;
constexpr int kMaxTimeUs = 1500;
constexpr int kLongerStep = 50;
constexpr int kShorterStep = -10;
constexpr uint32_t kManyHigh = 512;
constexpr uint32_t kSomeHigh = 10;
constexpr uint32_t kManyLow = 512;

void log_counts(uint32_t bad_pct, const WordCounts &c, uint16_t sat_ratio) {
    NX_TRC(kStepFn, "[%s] bad_pct:%d, bad_cnt:%d, cnt_high/low:%d,%d sat_ratio: %d,\n",
           static_cast<int>(bad_pct), static_cast<int>(c.bad), static_cast<int>(c.high),
           static_cast<int>(c.low), static_cast<int>(sat_ratio));
}

// Claims this device's step: false while the last one is 1 ms old or less,
// or another thread is stepping right now.
bool claim_step(epc_driver_state &state) {
    std::unique_lock lock(state.auto_intg_mu, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    const Clock::time_point now = state.now.load()();
    if (state.last_auto_intg &&
        std::chrono::duration_cast<std::chrono::milliseconds>(now - *state.last_auto_intg)
                .count() <= 1)
        return false;
    state.last_auto_intg = now;
    return true;
}

bool write_integration_time(nivex_device *dev, int time_us) {
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_INTG_TIME;
    entry.param_val_len = 2;
    nx::store_le16(entry.param_val.data, static_cast<uint16_t>(time_us));
    return nivex_param_batch_set(dev, &entry, 1);
}

}  // namespace

WordCounts classify_words(const uint8_t *src, size_t words) {
    WordCounts c;
    c.words = static_cast<uint32_t>(words);
    for (size_t i = 0; i < words; ++i) {
        const uint16_t w = nx::load_le16(src + 2 * i);
        if (w >= 2 && w <= 511)
            ++c.low;
        else if (w >= 512 && w <= 3584)
            ++c.normal;
        else if (w >= 3585 && w <= 4094)
            ++c.high;
        else
            ++c.bad;
    }
    return c;
}

int auto_intg_calc_step(const WordCounts &c, uint16_t sat_ratio) {
    if (c.words == 0) {
        log_counts(0, c, sat_ratio);
        return kLongerStep;
    }
    const auto bad_pct = static_cast<uint32_t>(uint64_t{c.bad} * 1000 / c.words);
    log_counts(bad_pct, c, sat_ratio);
    if (bad_pct >= sat_ratio && bad_pct >= 10) return kShorterStep * static_cast<int>(bad_pct / 10);
    if (bad_pct >= sat_ratio && bad_pct > 0 && bad_pct < 10 && c.high > kManyHigh)
        return kShorterStep;
    return c.high > kSomeHigh || c.low > kManyLow ? 0 : kLongerStep;
}

void _feature_auto_intg(epc_driver_state &state, const uint8_t *src, uint32_t count) {
    if (!state.sensor || state.sensor->is_hdr()) return;
    if (!claim_step(state)) return;
    const uint16_t sat_ratio = state.sat_ratio.load();
    const int step = auto_intg_calc_step(classify_words(src, count / 2), sat_ratio);
    const int current = state.sensor->integration_time_3d();
    const int next = std::max(std::min(current + step, kMaxTimeUs), kMinTimeUs);
    if (next == current) return;
    NX_DBG(kFn, "[%s] AUTO_INTG: %d->%d\n", current, next);
    if (write_integration_time(state.dev, next))
        state.sensor->set_integration_time_3d(next);
    else
        NX_ERR(kFn, "[%s] adjust intg from %d to %d failed\n", current, next);
}

}  // namespace nx::epc
