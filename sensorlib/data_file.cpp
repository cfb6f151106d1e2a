#include "sensorlib/data_file.h"

#include "nivex.h"

namespace nx::sensor {

std::string data_path(const std::string &name) {
    return std::string(nivex_path_get()) + name;
}

FilePtr open_for_reading(const std::string &path) {
    return FilePtr(std::fopen(path.c_str(), "rb"));
}

std::optional<long> file_size(std::FILE *file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return std::nullopt;
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) return std::nullopt;
    return size;
}

}  // namespace nx::sensor
