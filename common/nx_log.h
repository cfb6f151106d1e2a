// Library-wide logging: every module writes through nx_log.
//
// A line is "<stamp>[<tag>] <message>", the stamp being
// "YYYY/MM/DD hh:mm:ss.mmm[<thread id>]" in local time. Messages start with
// "[%s]" filled with the name of the logging function and carry their own
// newline.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>

#include "nivex.h"

extern "C" {

NIVEX_API void nx_log(uint32_t level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Same level tests, text written unchanged (no stamp, no tag); flushes the file.
NIVEX_API void nx_log_raw(uint32_t level, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Sets a target's level; for the file target (re)opens the log file. A NULL
// path keeps an open file, or opens "nx.log" when none is open.
NIVEX_API int nx_log_enable(uint32_t target, uint32_t level, const char *path);
// All targets off, log file closed. Returns fclose's result, 0 without a file.
NIVEX_API int nx_log_disable(void);
// Wall clock with millisecond resolution (tv_usec is a multiple of 1000).
// Named apart from the C library's gettimeofday, which it must not replace.
NIVEX_API int nx_gettimeofday(struct timeval *tv, void *tz);
}

namespace nx {

// Lowest level any output target currently accepts; lets hot paths skip
// formatting entirely.
extern std::atomic<uint32_t> g_log_min_level;

inline bool log_enabled(uint32_t level) {
    return level >= g_log_min_level.load(std::memory_order_relaxed);
}

}  // namespace nx

// fn is the name shown in the message's leading "[%s]".
#define NX_LOG_AT(level, tagtext, fn, fmt, ...)                         \
    do {                                                                \
        if (nx::log_enabled(level)) {                                   \
            nx_log(level, tagtext, fmt, fn __VA_OPT__(, ) __VA_ARGS__); \
        }                                                               \
    } while (0)

#define NX_TRC(fn, fmt, ...) NX_LOG_AT(NX_LOG_TRC, "TRC", fn, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NX_DBG(fn, fmt, ...) NX_LOG_AT(NX_LOG_DBG, "DBG", fn, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NX_INF(fn, fmt, ...) NX_LOG_AT(NX_LOG_INF, "INF", fn, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NX_WRN(fn, fmt, ...) NX_LOG_AT(NX_LOG_WRN, "WRN", fn, fmt __VA_OPT__(, ) __VA_ARGS__)
#define NX_ERR(fn, fmt, ...) NX_LOG_AT(NX_LOG_ERR, "ERR", fn, fmt __VA_OPT__(, ) __VA_ARGS__)
