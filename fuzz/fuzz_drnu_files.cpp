// Arbitrary bytes as the two DRNU calibration files of the data folder (the
// parameter file and the distance-images file), loaded by a sensor record
// with a table geometry the input picks (some of it out of bounds). Whatever
// the files hold, a load either fails and keeps the previous tables, or
// publishes tables of exactly the geometry asked for.
//
// Input: geometry byte, bank byte, the parameter file's length (one byte),
// the parameter file, the distance-images file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/nx_log.h"
#include "nivex.h"
#include "sensorlib/data_file.h"
#include "sensorlib/sensor_model.h"

namespace {

void write_file(const std::string &path, const uint8_t *data, size_t size) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

void check_banks(const nx::sensor::Calibration &cal) {
    for (const auto &bank : cal.banks) {
        if (!bank) continue;
        const auto pixels = static_cast<size_t>(bank->width) * static_cast<size_t>(bank->height);
        if (bank->width < 1 || bank->height < 1 || bank->num_distances < 1) __builtin_trap();
        if (bank->lut.size() != pixels * static_cast<size_t>(bank->num_distances)) __builtin_trap();
        if (bank->max.size() != pixels || bank->min.size() != pixels) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!nivex_init("/dev/null")) std::abort();
    nx_log_disable();  // the library's messages are expected here, not wanted
    char folder[] = "/tmp/fuzz_drnu_XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    if (nivex_path_cfg((std::string(folder) + "/").c_str()) != 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t geometry = data[0];
    const int bank = data[1] % 3 - (data[1] >= 0xF0 ? 4 : 0);  // 0, 1, 2 and some negative
    size_t param_len = data[2];
    data += 3;
    size -= 3;
    if (param_len > size) param_len = size;

    nx::sensor::SensorModel model;
    model.set_part_type((geometry & 0x80) != 0 ? 4 : 0);
    // Small tables, so that a whole images file fits an input; now and then
    // a geometry that the setters must refuse.
    model.set_calib_width(1 + (geometry & 0x0F) + ((geometry & 0x40) != 0 ? 400 : 0));
    model.set_calib_height(1 + ((geometry >> 4) & 0x03));
    model.set_num_distances(2 + (geometry >> 5) % 3 - ((geometry & 0x40) != 0 ? 3 : 0));

    write_file(nx::sensor::data_path(model.param_name()), data, param_len);
    write_file(nx::sensor::data_path(model.distance_images_name()), data + param_len,
               size - param_len);
    model.load_drnu_params();
    model.load_distance_images(bank);
    if (const auto cal = model.calibration()) check_banks(*cal);
    for (int i = 0; i < 4; ++i)
        model.dist_image_pixel(i * 7 - 1);
    return 0;
}
