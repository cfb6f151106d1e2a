// DCS pair-sum check: on a sound sensor DCS0 + DCS2 and DCS1 + DCS3 of most
// pixels lie near 4096 (each pair samples the same light half a period
// apart). When fewer than 61 % of the pixels agree, the frame is flagged and
// the camera is told to correct itself (parameter 17), at most once a
// second; the frame that caused the write is not decoded.
#include <chrono>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_features.h"
#include "drivers/epc/epc_pixel.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "epc_frame_decode";
constexpr uint32_t kPairLow = 4017;
constexpr uint32_t kPairHigh = 4175;
constexpr uint64_t kPassPercent = 60;
constexpr auto kWriteInterval = std::chrono::seconds(1);

bool pair_ok(uint32_t sum) {
    return sum >= kPairLow && sum <= kPairHigh;
}

bool frame_passes(const uint8_t *src, size_t n) {
    uint64_t pairs_a = 0;
    uint64_t pairs_b = 0;
    for (size_t i = 0; i < n; ++i) {
        auto dcs = [&](size_t k) -> uint32_t {
            return nx::load_le16(src + 2 * (k * n + i)) & kSampleMask;
        };
        pairs_a += pair_ok(dcs(0) + dcs(2));
        pairs_b += pair_ok(dcs(1) + dcs(3));
    }
    return pairs_a * 100 / n > kPassPercent && pairs_b * 100 / n > kPassPercent;
}

// True when a corrective write is due now (and claims it).
bool claim_write(epc_driver_state &state) {
    std::lock_guard lock(state.dcs_check_mu);
    const Clock::time_point now = state.now.load()();
    if (state.last_dcs_write && now - *state.last_dcs_write < kWriteInterval) return false;
    state.last_dcs_write = now;
    return true;
}

// The value bytes: a flag (1 when the check parameter is 0), then the check
// parameter as unsigned 16-bit.
bool write_correction(nivex_device *dev, uint16_t param) {
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_DCS_CHECK;
    entry.param_val_len = 3;
    entry.param_val.data[0] = param == 0 ? 1 : 0;
    nx::store_le16(entry.param_val.data + 1, param);
    return nivex_param_batch_set(dev, &entry, 1);
}

}  // namespace

bool dcs_check(epc_driver_state &state, const uint8_t *src, size_t n) {
    if (n == 0 || frame_passes(src, n)) return true;
    state.frame_valid.store(0);
    if (!claim_write(state)) return true;
    if (!write_correction(state.dev, state.dcs_check_param.load()))
        NX_ERR(kFn, "[%s] DCS check: correction (parameter 17) not taken by the camera\n");
    return false;
}

}  // namespace nx::epc
