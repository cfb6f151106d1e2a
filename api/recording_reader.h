// Reading a recording file (see recording_format.h): every section's size
// is checked against the file before its body is read, unknown sections are
// skipped, and frames are read on demand from their recorded position.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "api/recording_format.h"

namespace nx::rec {

// A recorded frame: its description and where its bytes lie in the file.
struct FrameRef {
    FrameHead head;
    int64_t offset = 0;
};

struct Recording {
    Identity identity;
    std::vector<ll_param_entry> params;
    std::vector<RegisterBlock> registers;
    std::vector<FilterSetting> filters;
    std::vector<CalibFile> files;
    std::vector<FrameRef> frames;
    // The file ended inside a frame record (a recording cut short by a crash
    // or a full disk): the frames before it are all there.
    bool cut_short = false;
};

// The recording in the regular file open on fd; nothing, after an ERR line
// tagged `fn` that says why, when the file is not a recording this library
// can read (wrong magic or version, a damaged or truncated section before
// the frames, no identity). A file cut short inside the frames keeps the
// frames before the cut, with a WRN line.
std::optional<Recording> read_recording(int fd, const char *fn);

// Reads the bytes of `frame` (head.info.frlen of them) into out, which must
// hold them; false when the file no longer has them.
bool read_frame_bytes(int fd, const FrameRef &frame, std::span<uint8_t> out);

}  // namespace nx::rec
