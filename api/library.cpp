// Library start and end, log configuration, version and error names.
#include <array>
#include <cstdio>
#include <ctime>

#include "api/device_reopen.h"
#include "api/path_prefix.h"
#include "common/nx_log.h"
#include "imgproc/nx_cmap.h"
#include "ll/ll_ops.h"

namespace {

constexpr int kColourMapEntries = 30000;

// The dated log name lives as long as the library, like the file it names.
char g_dated_log_name[64];

const char *dated_log_name() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::snprintf(g_dated_log_name, sizeof g_dated_log_name, "nivex_%04u%02u%02u.log",
                  static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday));
    return g_dated_log_name;
}

}  // namespace

extern "C" {

bool nivex_init(const char *log_fname) {
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_WRN, nullptr);
    nx::path_prefix_reset();
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_DBG,
                  log_fname != nullptr ? log_fname : dated_log_name());
    NX_INF("nivex_init", "[%s]  --- %s %s(compile at %s %s) log start -----\n", "NIVEX",
           NIVEX_VERSION_STR, __DATE__, __TIME__);
    nivex_ll_init();
    // A second init must not leak the first table.
    nx_cmap_uninit(&g_nx_cmap);
    return nx_cmap_init(&g_nx_cmap, kColourMapEntries);
}

void nivex_uninit(void) {
    NX_DBG("nivex_uninit", "[%s] ----- AL log END ----\n\n");
    // No camera is looked for once the library is ended.
    nx::stop_reopen_watcher();
    nx_cmap_uninit(&g_nx_cmap);
    nx_log_disable();
    nivex_ll_uninit();
}

void nivex_log_cfg(uint32_t console_level, uint32_t file_level, uint32_t usb_level) {
    nx_log_enable(NX_LOG_TARGET_CONSOLE, console_level, nullptr);
    nx_log_enable(NX_LOG_TARGET_FILE, file_level, nullptr);
    nivex_ll_set_debug(usb_level);
}

const char *nivex_error_name(int err) {
    constexpr int kFirst = NIVEX_ERR_CAP_UNKNOWN;
    constexpr const char *kUnknown = "**UNKNOWN**";
    static constexpr std::array<const char *, 14> kNames = {"NIVEX_ERR_CAP_UNKNOWN",
                                                            kUnknown,
                                                            "NIVEX_ERR_CAP_ERROR",
                                                            "NIVEX_ERR_CAP_STALL",
                                                            kUnknown,
                                                            "NIVEX_ERR_CAP_TIMEOUT",
                                                            kUnknown,
                                                            kUnknown,
                                                            kUnknown,
                                                            kUnknown,
                                                            "OK",
                                                            kUnknown,
                                                            kUnknown,
                                                            "NIVEX_ERR_CAP_FRAME_DISCARD"};
    if (err < kFirst || err > NIVEX_ERR_CAP_FRAME_DISCARD) return kUnknown;
    return kNames[static_cast<size_t>(err - kFirst)];
}

const char *nivex_version(void) {
    return NIVEX_VERSION_STR;
}

}  // extern "C"
