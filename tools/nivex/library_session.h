// The library's lifetime in the tool, and opening the camera the user chose.
#pragma once

#include <string>
#include <vector>

#include "common_options.h"
#include "nivex.h"

namespace nivex_tool {

// nivex_init .. nivex_uninit around a command: the data folder is created,
// the log file goes into it, and the terminal shows the library's log only
// as far as --verbose asks.
class LibrarySession {
  public:
    explicit LibrarySession(const CommonOptions &options);
    ~LibrarySession();
    LibrarySession(const LibrarySession &) = delete;
    LibrarySession &operator=(const LibrarySession &) = delete;

    const std::string &log_path() const { return log_path_; }

  private:
    std::string log_path_;
};

// Every camera on the bus (not opened).
std::vector<nivex_device> list_cameras();

// USB speed code as a word ("high", "super", ...).
const char *speed_name(unsigned speed_code);

// An open camera, closed at the end of its scope.
class OpenCamera {
  public:
    // Opens the camera `selector` names ("" the first, an index of
    // list_cameras(), or BUS:PORT); throws ToolError naming what failed.
    OpenCamera(const std::string &selector, const LibrarySession &session);
    // Opens a listed record.
    OpenCamera(const nivex_device &listed, const LibrarySession &session);
    ~OpenCamera();
    OpenCamera(const OpenCamera &) = delete;
    OpenCamera &operator=(const OpenCamera &) = delete;

    nivex_device *get() { return &record_; }
    const nivex_device &record() const { return record_; }
    int index() const { return index_; }

  private:
    void open(const LibrarySession &session);

    nivex_device record_{};
    int index_ = 0;
};

}  // namespace nivex_tool
