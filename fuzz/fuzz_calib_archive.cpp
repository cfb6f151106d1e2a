// Arbitrary bytes as the calibration archive a camera sends (a zip file),
// unpacked into a staging folder, and the package it holds split into the two
// DRNU files. Whatever the archive names or holds (absolute paths, "..",
// folders, links, huge sizes), nothing may be written outside the staging
// folder, and what it reports unpacked are plain files in it.
//
// Input: the chip ID (two bytes) the package search looks for, then the zip.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "common/nx_log.h"
#include "drivers/epc/epc_calib_archive.h"
#include "drivers/epc/epc_calib_package.h"

namespace fs = std::filesystem;

namespace {

std::string g_parent;  // holds only the staging folder while it exists

size_t entries_in(const std::string &folder) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

void check_unpacked(const std::string &staging, const std::vector<std::string> &names) {
    for (const std::string &name : names) {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
            __builtin_trap();
        struct stat st {};
        if (lstat((staging + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    nx_log_disable();  // the library's messages are expected here, not wanted
    char folder[] = "/tmp/fuzz_calib_XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    g_parent = std::string(folder) + "/";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const auto chip_id = static_cast<uint16_t>(data[0] | (data[1] << 8));
    const std::span<const uint8_t> zip(data + 2, size - 2);
    {
        nx::epc::StagingFolder staging(g_parent);
        if (!staging.ok()) std::abort();
        nx::epc::ArchiveLimits limits;
        limits.max_bytes = uint64_t{1} << 20;
        const auto names = nx::epc::extract_zip(zip, staging.prefix(), limits);
        // Only the staging folder may have appeared next to it.
        if (entries_in(g_parent) != 1) __builtin_trap();
        if (names) {
            check_unpacked(staging.prefix(), *names);
            if (const auto package = nx::epc::choose_package(*names, chip_id))
                nx::epc::split_package(staging.prefix() + *package, staging.prefix() + "param.bin",
                                       staging.prefix() + "images.bin");
        }
        if (entries_in(g_parent) != 1) __builtin_trap();
    }
    if (entries_in(g_parent) != 0) __builtin_trap();  // the staging folder went with its files
    return 0;
}
