// Temperature monitor: every 10 s the temperatures of the frame being
// described and the camera's frame rate go to the log.
#include <chrono>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_features.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "_feature_temp_monitor";
constexpr const char *kInfoFn = "epc_frame_get_info";
constexpr auto kInterval = std::chrono::seconds(10);

// Seconds since the last log when one is due now (0 for the first), and
// claims it; empty when none is due.
std::optional<long long> claim_log(epc_driver_state &state) {
    std::lock_guard lock(state.temp_monitor_mu);
    const Clock::time_point now = state.now.load()();
    long long seconds = 0;
    if (state.last_temp_log) {
        if (now - *state.last_temp_log < kInterval) return std::nullopt;
        seconds =
            std::chrono::duration_cast<std::chrono::seconds>(now - *state.last_temp_log).count();
    }
    state.last_temp_log = now;
    return seconds;
}

// The camera's frame rate; 0 when it cannot be read.
int frame_rate(nivex_device *dev) {
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_FRAME_RATE;
    if (!nivex_param_batch_get(dev, &entry, 1)) return 0;
    return static_cast<int>(nx::load_le32(entry.param_val.data));
}

}  // namespace

void _feature_temp_monitor(epc_driver_state &state) {
    if (!state.temp_monitor_on.load()) {
        NX_TRC(kInfoFn, "[%s] Temp monitor not enable\n");
        return;
    }
    const std::optional<long long> interval = claim_log(state);
    if (!interval) return;
    const int fps = frame_rate(state.dev);
    NX_DBG(kFn, "[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n", static_cast<int>(*interval),
           state.ib_temp.load() / 10.0, state.sensor_temp.load() / 10.0, fps);
}

}  // namespace nx::epc
