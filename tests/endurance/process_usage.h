// What the process holds right now, read from /proc/self/status: for
// watching that a long run neither grows nor leaks threads.
#pragma once

#include <cstdint>

namespace endurance {

struct ProcessUsage {
    uint64_t rss_kib = 0;  // resident memory
    uint32_t threads = 0;
};

// Zeros when /proc cannot be read.
ProcessUsage process_usage();

}  // namespace endurance
