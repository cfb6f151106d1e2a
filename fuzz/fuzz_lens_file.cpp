// Arbitrary bytes as the lens parameter file: whatever it holds, the reader
// comes back, and a file it accepts yields finite values.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/nx_log.h"
#include "drivers/epc/epc_lens_file.h"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    nx_log_disable();  // the library's messages are expected here, not wanted
    char folder[] = "/tmp/fuzz_lens_XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    g_path = std::string(folder) + "/" + nx::epc::kLensFileName;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::FILE *f = std::fopen(g_path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
    epc_lens_param lens{1, 2, 3, 4, {0, 0, 0, 0, 0}, 320, 240};
    if (!nx::epc::read_lens_file(g_path, lens)) return 0;
    const double values[] = {lens.cx,        lens.cy,        lens.fx,
                             lens.fy,        lens.dcoeff[0], lens.dcoeff[1],
                             lens.dcoeff[2], lens.dcoeff[3], lens.dcoeff[4]};
    for (double v : values)
        if (!std::isfinite(v)) __builtin_trap();
    return 0;
}
