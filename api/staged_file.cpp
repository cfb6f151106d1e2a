#include "api/staged_file.h"

#include <exception>

namespace nx {

StagedFile::StagedFile(const char *name) noexcept {
    try {
        name_ = name;
        temp_name_ = name_ + ".part";
    } catch (const std::exception &) {
        return;  // no memory for the names: not ok()
    }
    file_ = std::fopen(temp_name_.c_str(), "wb+");
    created_ = file_ != nullptr;
}

StagedFile::~StagedFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (created_ && !committed_) std::remove(temp_name_.c_str());
}

bool StagedFile::write(const uint8_t *data, size_t len) {
    return file_ != nullptr && std::fwrite(data, 1, len, file_) == len;
}

bool StagedFile::commit() {
    if (file_ == nullptr) return false;
    const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) return false;
    committed_ = std::rename(temp_name_.c_str(), name_.c_str()) == 0;
    return committed_;
}

}  // namespace nx
