#include "sensorlib/data_file.h"

#include <mutex>
#include <unordered_map>

#include "nivex.h"

namespace nx::sensor {
namespace {

std::mutex g_folders_mu;
std::unordered_map<const nivex_device *, std::string> &device_folders() {
    static std::unordered_map<const nivex_device *, std::string> folders;
    return folders;
}

}  // namespace

std::string data_path(const nivex_device *dev, const std::string &name) {
    {
        std::lock_guard lock(g_folders_mu);
        auto it = device_folders().find(dev);
        if (it != device_folders().end()) return it->second + name;
    }
    return data_path(name);
}

void set_device_data_folder(const nivex_device *dev, const std::string &prefix) {
    std::lock_guard lock(g_folders_mu);
    if (prefix.empty()) {
        device_folders().erase(dev);
    } else {
        device_folders()[dev] = prefix;
    }
}

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
