// Helpers shared by the test suites.
#pragma once

#include <filesystem>
#include <string>

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

// The whole content of a file ("" when it cannot be read).
std::string read_file(const std::string &path);

}  // namespace nxtest
