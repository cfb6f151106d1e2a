// Arbitrary bytes as a frame file, read with the distance and gray loaders:
// frame after frame, with rewinds to the header, destinations of every size
// and both kinds on one descriptor. The first two bytes steer the calls; the
// rest is the file.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/nx_log.h"
#include "fuzz/memory_file.h"
#include "nivex.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    nx_log_disable();  // the library's messages are expected here, not wanted
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint8_t steer = data[0];
    const int dst_len = (data[1] * 37) % 1500 - 3;  // a few negative lengths too
    const int fd = memory_file_with("frame_file", data + 2, size - 2);
    if (fd < 0) return 0;
    std::vector<float> dst(static_cast<size_t>(std::max(dst_len, 0)) + 1);
    for (int round = 0; round < 8; ++round) {
        const bool gray = ((steer >> round) & 1) != 0;
        if (round == 5 && (steer & 0x40) != 0) lseek(fd, 0, SEEK_SET);
        int w = -7, h = -7;
        float *out = (steer & 0x80) != 0 && round == 2 ? nullptr : dst.data();
        const int n = gray ? nivex_frame_load_gray(fd, out, dst_len, &w, &h)
                           : nivex_frame_load_distance(fd, out, dst_len, &w, &h);
        if (n < 0 || n > std::max(dst_len, 0)) __builtin_trap();
        if (n > 0 && (w < 1 || h < 1 || n != std::min(dst_len, w * h))) __builtin_trap();
        if (n == 0 && (w != -7 || h != -7) && dst_len > 0) __builtin_trap();
    }
    close(fd);
    return 0;
}
