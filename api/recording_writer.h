// Writing a recording file (see recording_format.h): the sections that
// describe the camera first, then one frame record per frame appended.
//
// Threads: append_frame runs on the fetching thread and may meet stop on
// another thread; the recorder's own mutex (a leaf) orders them. Frames are
// written straight to the file, one record at a time and never synced, so
// a recording costs the fetch a copy into the page cache, no disk wait. A
// frame record is either written whole or the file ends inside it; readers
// keep the frames before such a cut.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "api/recording_format.h"

namespace nx::rec {

class Recorder {
  public:
    // Creates (or empties) the file at path and writes the file header;
    // null after an ERR line tagged fn.
    static std::unique_ptr<Recorder> create(const char *path, const char *fn);
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // One describing section; false when it could not be written.
    bool write_section(uint32_t tag, std::span<const uint8_t> body);
    // One frame: its stream description, its description as fetched and its
    // info.frlen bytes. After a failed write (a full disk) nothing more is
    // appended; the ERR line comes once.
    void append_frame(const nx_stream_frame_info &info, const nivex_frame_meta &meta,
                      const uint8_t *data);
    uint32_t frames() const { return frames_.load(); }

  private:
    Recorder(int fd, const char *fn);
    bool write_record(uint32_t tag, std::span<const uint8_t> head, std::span<const uint8_t> body);

    std::mutex mu_;
    int fd_;
    const char *fn_;
    bool failed_ = false;  // guarded by mu_
    std::chrono::steady_clock::time_point start_;
    std::atomic<uint32_t> frames_{0};
};

}  // namespace nx::rec
