// The files the DRNU calibration procedure writes into the data folder: the
// distance images, the sensor and board temperatures of every step, the DRNU
// parameters (text and the 24-byte binary form) and the package that holds
// the binary parameters followed by the distance images.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "sensorlib/data_file.h"
#include "sensorlib/drnu_creation.h"

namespace nx::sensor {
namespace {

constexpr const char *kImagesFn = "calibrationSaveDistanceImages";
constexpr const char *kSaveTempFn = "calibrationSaveTemperatureDRNU";
constexpr const char *kLoadTempFn = "calibrationLoadTemperatureDRNU";
constexpr const char *kLutFn = "calibrationSaveDRNU_LUT";
constexpr const char *kPackageFn = "_construct_calib_param_pk";
constexpr size_t kParamBytes = 24;
constexpr size_t kCopyPiece = 4096;

// "_20." from 20 MHz on, "_10." from 10 MHz, "_5." below.
const char *frequency_tag(int khz) {
    if (khz >= 20000) return "_20.";
    if (khz >= 10000) return "_10.";
    return "_5.";
}

const char *stem(CreationFile file, bool small) {
    switch (file) {
        case CreationFile::kDistanceImages:
            return small ? "epc635_images_drnu" : "kpl_ex_images_drnu";
        case CreationFile::kParamsText:
            return small ? "epc635_drnu" : "kpl_ex_drnu";
        case CreationFile::kSensorTemperatures:
            return small ? "epc635_temperature_drnu" : "kpl_ex_temperature_drnu";
        case CreationFile::kBoardTemperatures:
            break;
    }
    return small ? "epc635_ibtemperature_drnu" : "kpl_ex_ibtemperature_drnu";
}

FilePtr open_file(const std::string &path, const char *mode) {
    return FilePtr(std::fopen(path.c_str(), mode));
}

// Opens the file; when it cannot, says so under `fn`'s tag.
FilePtr open_logged(const char *fn, const std::string &path, const char *mode) {
    FilePtr file = open_file(path, mode);
    if (!file) NX_ERR(fn, "[%s] %s open failed\n", path.c_str());
    return file;
}

// Closes the file and tells whether everything written reached it.
bool close_file(FilePtr file) {
    const bool ok = std::ferror(file.get()) == 0;
    return std::fclose(file.release()) == 0 && ok;
}

bool write_temperatures(const std::string &path, const int16_t *values, int k) {
    FilePtr file = open_logged(kSaveTempFn, path, "w");
    if (!file) return false;
    for (int i = 0; i < k; ++i)
        std::fprintf(file.get(), "%d\n", values[i]);
    return close_file(std::move(file));
}

bool copy_into(std::FILE *from, std::FILE *to) {
    std::vector<uint8_t> piece(kCopyPiece);
    size_t n = 0;
    while ((n = std::fread(piece.data(), 1, piece.size(), from)) > 0) {
        if (std::fwrite(piece.data(), 1, n, to) != n) return false;
    }
    return std::ferror(from) == 0;
}

std::vector<uint8_t> param_bytes(const SensorModel &model, const DrnuWork &work) {
    std::vector<uint8_t> bytes(kParamBytes);
    uint8_t *p = bytes.data();
    p = nx::store_le32(p, static_cast<uint32_t>(model.modulation_khz()));
    p = nx::store_le32(p, static_cast<uint32_t>(work.offset_drnu));
    p = nx::store_le32(p, static_cast<uint32_t>(work.temp_cal));
    uint64_t bits = 0;
    static_assert(sizeof bits == sizeof work.step_cal_mm);
    std::memcpy(&bits, &work.step_cal_mm, sizeof bits);
    p = nx::store_le32(p, static_cast<uint32_t>(bits));
    p = nx::store_le32(p, static_cast<uint32_t>(bits >> 32));
    NX_TRC(kLutFn, "[%s] save ib temperature:%d\n", work.ib_temp_cal);
    nx::store_le32(p, static_cast<uint32_t>(work.ib_temp_cal));
    return bytes;
}

int write_images(SensorModel &model, DrnuWork &work) {
    const int bank = active_bank(model);
    if (!work.holds_images(bank)) {
        NX_ERR(kImagesFn, "[%s] no distance images measured\n");
        return -1;
    }
    const std::string path = creation_path(model, CreationFile::kDistanceImages);
    FilePtr file = open_logged(kImagesFn, path, "wb");
    if (!file) return -1;
    NX_DBG(kImagesFn, "[%s] %s\n", path.c_str());
    const std::vector<uint16_t> &images = work.images[static_cast<size_t>(bank)];
    std::vector<uint8_t> bytes(images.size() * 2);
    for (size_t i = 0; i < images.size(); ++i)
        nx::store_le16(bytes.data() + 2 * i, images[i]);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    if (!close_file(std::move(file)) || !written) {
        NX_ERR(kImagesFn, "[%s] %s not written whole\n", path.c_str());
        return -1;
    }
    return 0;
}

int write_temperature_files(SensorModel &model, DrnuWork &work) {
    const std::string sensor_path = creation_path(model, CreationFile::kSensorTemperatures);
    const std::string board_path = creation_path(model, CreationFile::kBoardTemperatures);
    NX_INF(kSaveTempFn, "[%s] %s\n", sensor_path.c_str());
    NX_INF(kSaveTempFn, "[%s] %s\n", board_path.c_str());
    const int k = model.num_distances();
    const bool sensor_ok = write_temperatures(sensor_path, work.temperature.data(), k);
    const bool board_ok = write_temperatures(board_path, work.ib_temperature.data(), k);
    return sensor_ok && board_ok ? 0 : -1;
}

int write_lut(SensorModel &model, DrnuWork &work) {
    const std::string text_path = creation_path(model, CreationFile::kParamsText);
    FilePtr text = open_logged(kLutFn, text_path, "w");
    if (!text) return -1;
    NX_INF(kLutFn, "[%s] %s\n", text_path.c_str());
    std::fprintf(text.get(), "%d\n", model.modulation_khz());
    std::fprintf(text.get(), "%d\n", work.offset_drnu);
    std::fprintf(text.get(), "%d\n", work.temp_cal);
    std::fprintf(text.get(), "%2.4f\n", work.step_cal_mm);
    std::fprintf(text.get(), "%d\n", work.ib_temp_cal);
    const bool text_ok = close_file(std::move(text));

    const std::string bin_path = data_path(model.param_name());
    FilePtr bin = open_logged(kLutFn, bin_path, "wb+");
    if (!bin) return -1;
    const std::vector<uint8_t> bytes = param_bytes(model, work);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), bin.get()) == bytes.size();
    const bool bin_ok = close_file(std::move(bin)) && written;
    if (!text_ok || !bin_ok) {
        NX_ERR(kLutFn, "[%s] DRNU parameters not written whole\n");
        return -1;
    }
    return 0;
}

int write_package(SensorModel &model, DrnuWork &) {
    const std::string path = package_path(model);
    NX_INF(kPackageFn, "[%s] Fname:%s\n", path.c_str());
    FilePtr params = open_file(data_path(model.param_name()), "rb");
    if (!params) {
        NX_ERR(kPackageFn, "[%s] open param failed\n");
        return -1;
    }
    const std::string images_path = creation_path(model, CreationFile::kDistanceImages);
    FilePtr images = open_logged(kPackageFn, images_path, "rb");
    if (!images) return -1;
    FilePtr package = open_logged(kPackageFn, path, "wb+");
    if (!package) return -1;
    const bool copied =
        copy_into(params.get(), package.get()) && copy_into(images.get(), package.get());
    if (!close_file(std::move(package)) || !copied) {
        NX_ERR(kPackageFn, "[%s] %s not written whole\n", path.c_str());
        std::remove(path.c_str());
        return -1;
    }
    return 0;
}

// Counts a file that could not be written.
int counted(DrnuWork &work, int result) {
    if (result != 0) ++work.write_failures;
    return result;
}

}  // namespace

std::string creation_path(const SensorModel &model, CreationFile file) {
    const bool text = file != CreationFile::kDistanceImages;
    std::string suffix = frequency_tag(model.modulation_khz());
    suffix += text ? "csv" : "bin";
    return data_path(chip_file_name(stem(file, model.small_sensor()), model.wafer_id(),
                                    model.chip_id(), suffix.c_str()));
}

std::string package_path(const SensorModel &model) {
    char name[64];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", model.chip_id());
    return data_path(name);
}

int save_distance_images_locked(SensorModel &model, DrnuWork &work) {
    return counted(work, write_images(model, work));
}

int save_temperatures_locked(SensorModel &model, DrnuWork &work) {
    return counted(work, write_temperature_files(model, work));
}

// The sweep's mean sensor temperature from the file: the mean of the lines
// read, so a short file does not pull it towards 0; an empty one changes
// nothing.
int load_temperatures_locked(SensorModel &model, DrnuWork &work) {
    const std::string path = creation_path(model, CreationFile::kSensorTemperatures);
    FilePtr file = open_file(path, "r");
    if (!file) {
        NX_DBG(kLoadTempFn, "[%s] Can not open %s file\n", path.c_str());
        return -1;
    }
    NX_DBG(kLoadTempFn, "[%s] %s\n", path.c_str());
    const int k = std::min(model.num_distances(), kMaxDistances);
    int64_t sum = 0;
    int read = 0;
    char line[64];
    for (int i = 0; i < k && std::fgets(line, sizeof line, file.get()) != nullptr; ++i) {
        char *end = nullptr;
        const long value = std::strtol(line, &end, 10);
        if (end == line) continue;
        work.temperature[static_cast<size_t>(i)] = static_cast<int16_t>(value);
        sum += static_cast<int16_t>(value);
        ++read;
    }
    if (read == 0) {
        NX_ERR(kLoadTempFn, "[%s] %s holds no temperature\n", path.c_str());
        return -1;
    }
    work.temp_cal = static_cast<int32_t>(sum / read);
    NX_DBG(kLoadTempFn, "[%s] gTempCal= %d\n", work.temp_cal);
    return 0;
}

int save_lut_locked(SensorModel &model, DrnuWork &work) {
    return counted(work, write_lut(model, work));
}

// The package holds the binary parameters, then the distance images this
// procedure wrote (their name carries the frequency tag of the run).
int construct_package_locked(SensorModel &model, DrnuWork &work) {
    return counted(work, write_package(model, work));
}

}  // namespace nx::sensor
