// A file written under a temporary name next to its final one and put in
// place only once it is complete, so that a transfer that fails half-way
// leaves no partial file and whatever file stood there before untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace nx {

class StagedFile {
  public:
    // Creates "<name>.part"; check ok().
    explicit StagedFile(const char *name) noexcept;
    // Removes the temporary file unless commit() succeeded.
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    bool ok() const { return file_ != nullptr; }
    // False when not every byte could be written.
    bool write(const uint8_t *data, size_t len);
    // Flushes, closes and renames the file to its final name.
    bool commit();

  private:
    std::string name_;
    std::string temp_name_;
    std::FILE *file_ = nullptr;
    bool created_ = false;
    bool committed_ = false;
};

}  // namespace nx
