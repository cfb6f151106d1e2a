// Hostile command-channel replies. A simulated camera answers every IN control
// transfer (status queries, parameter replies, register replies) with the
// input's bytes; the camera itself acts on the commands as usual. Whatever the
// bytes, each call has to come back, and what a successful call hands out
// has to be what was asked for.
//
// Input: one byte that steers the calls, then the replies, each a length
// byte followed by that many bytes (at most 64 replies).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/nx_log.h"
#include "nivex.h"
#include "sim/camsim.h"

namespace {

constexpr size_t kMaxReplies = 64;

nivex_device g_dev{};
nxsim::Camera g_camera;

std::vector<std::vector<uint8_t>> replies_of(const uint8_t *data, size_t size) {
    std::vector<std::vector<uint8_t>> replies;
    size_t at = 0;
    while (at < size && replies.size() < kMaxReplies) {
        const size_t len = std::min<size_t>(data[at], size - at - 1);
        replies.emplace_back(data + at + 1, data + at + 1 + len);
        at += 1 + len;
    }
    return replies;
}

void check_params(const uint8_t steer) {
    const int count = 1 + steer % 3;
    nivex_param_entry entries[3] = {};
    const nivex_param_id ids[3] = {NIVEX_PARAM_FRAME_RATE, NIVEX_PARAM_TEMPERATURE,
                                   NIVEX_PARAM_INTG_TIME};
    for (int i = 0; i < count; ++i)
        entries[i].param_id = ids[i];
    if (!nivex_param_batch_get(&g_dev, entries, count)) return;
    for (int i = 0; i < count; ++i) {
        if (entries[i].param_id != ids[i]) __builtin_trap();
        if (entries[i].param_val_len > NIVEX_PARAM_VAL_SIZE) __builtin_trap();
    }
}

void run_calls(const uint8_t steer) {
    check_params(steer);
    uint32_t regs[8] = {};
    const uint32_t reg_count = 1 + (steer >> 2) % 8;
    nivex_reg_batch_read(&g_dev, 1, 0x20, regs, reg_count);
    if ((steer & 0x20) != 0) nivex_reg_batch_write(&g_dev, 1, 0x20, regs, reg_count);
    if ((steer & 0x40) != 0) {
        nivex_param_entry rate{};
        rate.param_id = NIVEX_PARAM_FRAME_RATE;
        rate.param_val_len = 4;
        rate.param_val.u32 = 30;
        nivex_param_batch_set(&g_dev, &rate, 1);
    }
    // A capture start and stop take some 200 ms: one input in four.
    if ((steer & 0x81) == 0x81 && nivex_cap_start(&g_dev)) nivex_cap_stop(&g_dev);
}

// The library's threads use the simulator: stop them before the simulator's
// own static objects go at exit (handlers registered later run first).
void close_all() {
    nivex_dev_close(&g_dev);
    nivex_uninit();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!nivex_init("/dev/null")) std::abort();
    // The library's messages are expected here, not wanted (FUZZ_LOG=1 keeps them
    // on the terminal, to see what an input does).
    if (std::getenv("FUZZ_LOG") == nullptr)
        nx_log_disable();
    else
        nivex_log_cfg(NX_LOG_DBG, 0, 0);
    // Opening an EPC camera fetches its calibration into the data folder.
    char folder[] = "/tmp/fuzz_command_XXXXXX";
    if (mkdtemp(folder) == nullptr || nivex_path_cfg((std::string(folder) + "/").c_str()) != 0)
        std::abort();
    g_camera = nxsim::add_camera();
    if (nivex_dev_open(&g_dev) != &g_dev) std::abort();
    std::atexit(close_all);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    g_camera.script_in_replies(replies_of(data + 1, size - 1));
    run_calls(data[0]);
    g_camera.clear_faults();
    return 0;
}
