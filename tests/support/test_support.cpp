#include "support/test_support.h"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace nxtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "nivex-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedCwd::ScopedCwd(const std::filesystem::path &dir)
    : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

namespace {

constexpr size_t kObservedBlock = 8u << 20;

size_t mapped_bytes() {
    return mallinfo2().hblkhd;
}

}  // namespace

ObservedRecord::ObservedRecord() {
    // A fixed threshold: the C library would otherwise raise it after large
    // frees and stop mapping blocks of this size on their own.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    const size_t before = mapped_bytes();
    dev_ = static_cast<nivex_device *>(std::calloc(1, kObservedBlock));
    if (dev_ == nullptr) throw std::runtime_error("calloc failed");
    dev_->free_on_close = 1;
    mapped_with_record_ = mapped_bytes();
    observable_ = mapped_with_record_ >= before + kObservedBlock;
}

std::optional<bool> ObservedRecord::freed() const {
    if (!observable_) return std::nullopt;
    return mapped_bytes() + kObservedBlock <= mapped_with_record_;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace nxtest
