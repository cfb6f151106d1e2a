// Arbitrary bytes as a recording file, read with the recording reader: every
// accepted recording's frames are then read back from their recorded
// positions, and what the reader accepted must be consistent with the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "api/recording_reader.h"
#include "common/nx_log.h"
#include "fuzz/memory_file.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    nx_log_disable();  // the reader's refusals are expected here, not wanted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = memory_file_with("recording", data, size);
    if (fd < 0) return 0;
    std::optional<nx::rec::Recording> rec = nx::rec::read_recording(fd, "fuzz");
    if (rec) {
        std::vector<uint8_t> bytes;
        for (const nx::rec::FrameRef &frame : rec->frames) {
            const uint32_t frlen = frame.head.info.frlen;
            // A frame the reader accepted lies inside the file.
            if (frame.offset < 0 || static_cast<uint64_t>(frame.offset) + frlen > size)
                __builtin_trap();
            bytes.resize(frlen);
            if (!nx::rec::read_frame_bytes(fd, frame, bytes)) __builtin_trap();
        }
        for (const nx::rec::CalibFile &file : rec->files)
            if (!nx::rec::safe_file_name(file.name)) __builtin_trap();
    }
    close(fd);
    return 0;
}
