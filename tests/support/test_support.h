// Helpers shared by the test suites.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "nivex.h"

namespace nxtest {

// A fresh folder under the system's temporary folder, removed with the object.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// Makes a TempDir the working folder for the object's lifetime, so that files
// the library writes into the working folder never collide between tests.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::filesystem::path &dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd &) = delete;
    ScopedCwd &operator=(const ScopedCwd &) = delete;

  private:
    std::filesystem::path previous_;
};

// A caller record handed to the library with free_on_close set, whose freeing
// the test can see: the record starts a block so large that the C library
// maps it on its own, and the mapped bytes drop when it is freed. Under a
// sanitizer's allocator the drop cannot be seen (LeakSanitizer checks then).
class ObservedRecord {
  public:
    ObservedRecord();
    ObservedRecord(const ObservedRecord &) = delete;
    ObservedRecord &operator=(const ObservedRecord &) = delete;

    nivex_device *get() const { return dev_; }
    // Whether the library freed the record; nullopt when it cannot be told.
    std::optional<bool> freed() const;

  private:
    nivex_device *dev_;
    size_t mapped_with_record_ = 0;
    bool observable_ = false;
};

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string &path);

}  // namespace nxtest
