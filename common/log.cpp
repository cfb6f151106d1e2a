// Logging to the console and a log file, from any thread.
//
// Each line is composed in one buffer and written with one call, so lines of
// different threads never interleave. The file stream is guarded by a leaf
// lock that is never held while calling out of this file.
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "common/nx_log.h"

namespace nx {
std::atomic<uint32_t> g_log_min_level{NX_LOG_WRN};
}

namespace {

constexpr uint32_t kTargetCount = 3;

// Console 3 (WRN), file 1 (DBG), auxiliary off, until configured.
std::array<std::atomic<uint32_t>, kTargetCount> g_levels{NX_LOG_WRN, NX_LOG_DBG, NX_LOG_OFF};

std::mutex g_file_mutex;
FILE *g_file = nullptr;   // guarded by g_file_mutex
std::string g_file_name;  // guarded by g_file_mutex
std::atomic<bool> g_file_open{false};

uint32_t level_of(uint32_t target) {
    return g_levels[target].load(std::memory_order_relaxed);
}

// Only targets with an output path count: console always, file while open.
void refresh_min_level() {
    uint32_t lowest = level_of(NX_LOG_TARGET_CONSOLE);
    if (g_file_open.load(std::memory_order_relaxed)) {
        lowest = std::min(lowest, level_of(NX_LOG_TARGET_FILE));
    }
    nx::g_log_min_level.store(lowest, std::memory_order_relaxed);
}

bool reaches_console(uint32_t level) {
    return level >= level_of(NX_LOG_TARGET_CONSOLE);
}

bool reaches_file(uint32_t level) {
    return level >= level_of(NX_LOG_TARGET_FILE) && g_file_open.load(std::memory_order_relaxed);
}

unsigned thread_number() {
    thread_local const unsigned tid = static_cast<unsigned>(syscall(SYS_gettid));
    return tid;
}

// "YYYY/MM/DD hh:mm:ss.mmm[tid]" in local time.
void format_stamp(char (&stamp)[48]) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    std::snprintf(stamp, sizeof stamp, "%04u/%02u/%02u %02u:%02u:%02u.%03u[%u]",
                  static_cast<unsigned>(local.tm_year + 1900),
                  static_cast<unsigned>(local.tm_mon + 1), static_cast<unsigned>(local.tm_mday),
                  static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min),
                  static_cast<unsigned>(local.tm_sec), static_cast<unsigned>(now.tv_nsec / 1000000),
                  thread_number());
}

// vsnprintf into a growing buffer; the result holds the text without the NUL.
__attribute__((format(printf, 1, 0))) std::string format_text(const char *fmt, va_list args) {
    std::array<char, 512> small{};
    va_list copy;
    va_copy(copy, args);
    int need = std::vsnprintf(small.data(), small.size(), fmt, copy);
    va_end(copy);
    if (need < 0) return {};
    if (static_cast<size_t>(need) < small.size()) return std::string(small.data(), need);
    std::vector<char> big(static_cast<size_t>(need) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
    return std::string(big.data(), static_cast<size_t>(need));
}

void write_file(const std::string &text) {
    std::lock_guard lock(g_file_mutex);
    if (g_file == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), g_file);
    std::fflush(g_file);
}

void emit(uint32_t level, const std::string &text) {
    if (reaches_console(level)) std::fwrite(text.data(), 1, text.size(), stdout);
    if (reaches_file(level)) write_file(text);
}

// Opens `path` for appending; keeps the current file when it is the same name.
int open_log_file(const char *path) {
    std::lock_guard lock(g_file_mutex);
    if (path == nullptr) {
        if (g_file != nullptr) return 1;
        path = "nx.log";
    }
    if (g_file != nullptr && g_file_name == path) return 1;
    if (g_file != nullptr) {
        std::fclose(g_file);
        g_file = nullptr;
        g_file_open.store(false, std::memory_order_relaxed);
    }
    g_file_name = path;
    g_file = std::fopen(path, "ab");
    if (g_file == nullptr) {
        std::fprintf(stderr, "cannot open file %s for write\n", path);
        return 0;
    }
    g_file_open.store(true, std::memory_order_relaxed);
    return 1;
}

}  // namespace

extern "C" {

// Logging never throws into its callers (C code among them): a message that
// cannot be formatted for lack of memory is dropped.
void nx_log(uint32_t level, const char *tag, const char *fmt, ...) {
    if (!reaches_console(level) && !reaches_file(level)) return;
    char stamp[48];
    format_stamp(stamp);
    va_list args;
    va_start(args, fmt);
    try {
        std::string line = std::string(stamp) + "[" + (tag != nullptr ? tag : "") + "] ";
        line += format_text(fmt, args);
        emit(level, line);
    } catch (...) {
    }
    va_end(args);
}

void nx_log_raw(uint32_t level, const char *fmt, ...) {
    if (!reaches_console(level) && !reaches_file(level)) return;
    va_list args;
    va_start(args, fmt);
    try {
        emit(level, format_text(fmt, args));
    } catch (...) {
    }
    va_end(args);
}

int nx_log_enable(uint32_t target, uint32_t level, const char *path) {
    if (target >= kTargetCount) return 0;
    g_levels[target].store(level, std::memory_order_relaxed);
    int result = target == NX_LOG_TARGET_FILE ? open_log_file(path) : 1;
    refresh_min_level();
    return result;
}

int nx_log_disable(void) {
    for (auto &level : g_levels)
        level.store(NX_LOG_OFF, std::memory_order_relaxed);
    int result = 0;
    {
        std::lock_guard lock(g_file_mutex);
        if (g_file != nullptr) result = std::fclose(g_file);
        g_file = nullptr;
        g_file_name.clear();
        g_file_open.store(false, std::memory_order_relaxed);
    }
    refresh_min_level();
    return result;
}

int nx_gettimeofday(struct timeval *tv, void * /*tz*/) {
    if (tv == nullptr) return 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tv->tv_sec = now.tv_sec;
    tv->tv_usec = (now.tv_nsec / 1000000) * 1000;
    return 0;
}

}  // extern "C"
