// The header a loader read last, remembered per descriptor.
//
// A frame file states its frame size once, in the header at position 0; the
// frames after it are read with the header remembered for the descriptor
// that read it. Keeping one per descriptor (and per kind) lets several files
// be read alternately, from any threads. An entry also records which file it
// was read from, so a descriptor number that is closed and reused for
// another file does not inherit the old file's header.
#pragma once

#include <optional>

#include "api/frame_file_format.h"

namespace nx {

// Remembers `header` as read from fd at position 0.
void remember_header(FrameKind kind, int fd, const FrameHeader &header);
// The header read from fd's file at position 0, if there was one.
std::optional<FrameHeader> remembered_header(FrameKind kind, int fd);

}  // namespace nx
