#include "process_usage.h"

#include <fstream>
#include <string>

namespace endurance {

ProcessUsage process_usage() {
    ProcessUsage usage;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> usage.rss_kib;
        else if (key == "Threads:")
            status >> usage.threads;
        std::string rest;
        std::getline(status, rest);
    }
    return usage;
}

}  // namespace endurance
