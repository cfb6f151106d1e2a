// Whole-file reading for the data channel, and the exported check that a
// file can be read completely.
#include "api/data_file.h"

#include <sys/stat.h>

#include <new>

#include "api/data_channel.h"
#include "common/nx_log.h"

namespace nx::data {

std::optional<InputFile> open_input(const char *name) {
    if (name == nullptr) return std::nullopt;
    FilePtr file(std::fopen(name, "rb"));
    if (file == nullptr) return std::nullopt;
    struct stat info {};
    if (fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return InputFile{std::move(file), static_cast<uint64_t>(info.st_size)};
}

bool read_input(InputFile &input, std::vector<uint8_t> &out) {
    try {
        out.resize(input.size);
    } catch (const std::bad_alloc &) {
        out = {};
        return false;
    } catch (const std::length_error &) {
        out = {};
        return false;
    }
    out.resize(std::fread(out.data(), 1, out.size(), input.file.get()));
    return true;
}

}  // namespace nx::data

extern "C" int8_t al_data_build_file_buffer(const char *file_name, uint32_t *size_out) {
    constexpr const char *kFn = "al_data_build_file_buffer";
    NX_INF(kFn, "[%s] Loading data image file:%s\n", file_name != nullptr ? file_name : "(null)");
    std::optional<nx::data::InputFile> input = nx::data::open_input(file_name);
    if (!input) return -1;
    NX_INF(kFn, "[%s] File size:%d\n", static_cast<int>(input->size));
    std::vector<uint8_t> bytes;
    // An empty file, one too large to report, or one whose bytes do not fit
    // in memory is not a loadable image.
    const bool readable =
        input->size > 0 && input->size <= UINT32_MAX && nx::data::read_input(*input, bytes);
    if (readable) {
        NX_INF(kFn, "[%s] File read ok,%d,%x\n", static_cast<int>(bytes.size()),
               bytes.empty() ? 0u : static_cast<unsigned>(bytes[0]));
    }
    if (!readable || bytes.size() != input->size) {
        NX_INF(kFn, "[%s] Data image file loading failed.\n");
        return -1;
    }
    if (size_out != nullptr) *size_out = static_cast<uint32_t>(input->size);
    NX_INF(kFn, "[%s] Data image file loaded.\n");
    return 1;
}
