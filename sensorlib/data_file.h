// Calibration files in the library's data folder: the folder prefix followed
// directly by the file name.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "nivex.h"

namespace nx::sensor {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The data-folder prefix followed by `name`.
std::string data_path(const std::string &name);
// The same for the files of one device: its own folder when one is set (a
// replayed recording brings its calibration files along), else the
// library's data folder.
std::string data_path(const nivex_device *dev, const std::string &name);
// Gives `dev` a data folder of its own (a prefix ending in a separator), or
// takes it away again with an empty prefix.
void set_device_data_folder(const nivex_device *dev, const std::string &prefix);
// Opens a file for binary reading; null when it cannot be opened.
FilePtr open_for_reading(const std::string &path);
// Size of an open file in bytes; empty when it cannot be told.
std::optional<long> file_size(std::FILE *file);

}  // namespace nx::sensor
