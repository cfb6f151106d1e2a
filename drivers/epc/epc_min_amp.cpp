// Minimum-amplitude marking. With hysteresis (the default) a pixel becomes
// valid as soon as its amplitude reaches min_amp and invalid only once it
// falls below min_amp - min_amp_hysteresis; in between it keeps what it was
// on the previous frame, so a pixel near the limit does not flicker. A new
// mask starts with every pixel invalid. Without hysteresis a pixel below
// min_amp is marked. While the feature is off nothing is marked at all.
#include <new>

#include "common/nx_log.h"
#include "drivers/epc/epc_image_steps.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "_feature_minamp_filter";

void mark_with_hysteresis(std::vector<uint8_t> &mask, uint16_t *dist, const uint16_t *amp, size_t n,
                          uint16_t min_amp, uint16_t hysteresis) {
    const uint32_t limit = min_amp;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t a = amp[i];
        if (a >= limit)
            mask[i] = 1;
        else if (a + hysteresis < limit)
            mask[i] = 0;
        if (mask[i] == 0) dist[i] = kLowAmplitude;
    }
}

}  // namespace

bool min_amp_mark(epc_driver_state &state, uint16_t *dist, const uint16_t *amp, size_t n) {
    if (!state.min_amp_on.load()) return true;
    const uint16_t min_amp = state.min_amp.load();
    if (!state.min_amp_hold.load()) {
        for (size_t i = 0; i < n; ++i)
            if (amp[i] < min_amp) dist[i] = kLowAmplitude;
        return true;
    }
    std::lock_guard lock(state.mask_mu);
    std::vector<uint8_t> &mask = state.min_amp_mask;
    if (mask.size() < n) {
        try {
            std::vector<uint8_t> fresh(n, 0);
            mask.swap(fresh);
        } catch (const std::bad_alloc &) {
            NX_ERR(kFn, "[%s] malloc failed\n");
            return false;
        }
    }
    mark_with_hysteresis(mask, dist, amp, n, min_amp, state.min_amp_hysteresis.load());
    return true;
}

}  // namespace nx::epc
