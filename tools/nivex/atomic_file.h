// An output file that appears whole or not at all: everything is written to a
// temporary file next to the destination, which commit() renames over it. A
// file that is destroyed uncommitted (an error, an interrupted capture before
// the end) removes its temporary file and leaves the destination as it was.
#pragma once

#include <cstdio>
#include <string>

namespace nivex_tool {

class AtomicFile {
  public:
    // Creates the temporary file; throws ToolError naming `path` when the
    // folder is not writable.
    explicit AtomicFile(std::string path);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    const std::string &path() const { return path_; }
    const std::string &temp_path() const { return temp_path_; }
    // Descriptor of the temporary file (seekable, binary).
    int fd() const { return fd_; }
    // A stdio stream on fd(), made on first use; owned by this object.
    FILE *stream();
    // Flushes, closes and renames onto the destination; throws on failure.
    void commit();

  private:
    [[noreturn]] void fail(const char *what) const;
    void discard();

    std::string path_;
    std::string temp_path_;
    int fd_ = -1;
    FILE *stream_ = nullptr;
    bool committed_ = false;
};

}  // namespace nivex_tool
