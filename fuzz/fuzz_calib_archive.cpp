// Arbitrary bytes as the calibration block a camera sends in its data-upload
// mode (a 17-byte header and a zip archive), put through the whole package
// step: header checks, unpacking into a staging folder, moving the archive's
// files into the data folder and splitting the package into the two DRNU
// files. Whatever the block names or holds (absolute paths, "..", folders,
// links, huge sizes, sizes that disagree), nothing may be written outside the
// data folder, and what lands in it are plain files.
//
// Input: a byte that picks the sensor type (odd: the small one, whose DRNU
// files have other names), a mode byte, then either the whole block
// (odd mode) or only the archive, which gets a header that agrees with it (so
// that the fuzzer spends its time on the archive).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/nx_log.h"
#include "drivers/epc/epc_calib_package.h"
#include "drivers/epc/epc_driver_state.h"
#include "nivex.h"
#include "sensorlib/sensor_model.h"

namespace fs = std::filesystem;

namespace {

std::string g_top;   // holds only the data folder
std::string g_data;  // the data folder

void put_le32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> block_around(std::span<const uint8_t> zip) {
    std::vector<uint8_t> block(nx::epc::kCalibHeaderSize);
    block[0] = 1;  // valid
    block[2] = 1;  // zip used
    put_le32(block, 7, static_cast<uint32_t>(nx::epc::kCalibHeaderSize + zip.size()));
    put_le32(block, 11, static_cast<uint32_t>(zip.size()));
    block.insert(block.end(), zip.begin(), zip.end());
    return block;
}

size_t entries_in(const std::string &folder) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        ++n;
    return n;
}

// Every entry of the data folder is a plain file; then the folder is emptied
// for the next input.
void check_and_empty_data_folder() {
    std::error_code ec;
    std::vector<fs::path> found;
    for (auto it = fs::directory_iterator(g_data, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        found.push_back(it->path());
    for (const fs::path &p : found) {
        struct stat st {};
        if (lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) __builtin_trap();
        fs::remove(p, ec);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!nivex_init("/dev/null")) std::abort();
    nx_log_disable();  // the library's messages are expected here, not wanted
    char folder[] = "/tmp/fuzz_calib_XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    g_top = std::string(folder) + "/";
    g_data = g_top + "data/";
    if (nivex_path_cfg(g_data.c_str()) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const bool small_sensor = (data[0] & 1) != 0;
    const bool raw_block = (data[1] & 1) != 0;
    const std::span<const uint8_t> rest(data + 2, size - 2);
    const std::vector<uint8_t> block =
        raw_block ? std::vector<uint8_t>(rest.begin(), rest.end()) : block_around(rest);

    nx::epc::epc_driver_state state;
    state.sensor = std::make_shared<nx::sensor::SensorModel>();
    state.sensor->set_part_type(small_sensor ? 4 : 0);
    const std::string param = state.sensor->param_name();
    const std::string images = state.sensor->distance_images_name();
    param.copy(state.drnu_param_name.data(), state.drnu_param_name.size() - 1);
    images.copy(state.dist_images_name.data(), state.dist_images_name.size() - 1);

    nx::epc::unpack_calib_block(state, block);
    if (entries_in(g_top) != 1) __builtin_trap();  // only the data folder
    check_and_empty_data_folder();
    return 0;
}
