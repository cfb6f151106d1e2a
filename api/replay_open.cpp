// Opening a recording as a device: the file is read and checked, its
// calibration files are unpacked into a private folder that the device's
// driver loads them from (so a replay on another machine decodes as the
// camera's host did), the session opens on the replay transport, and the
// filter switches of the recording are set again.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "api/replay_transport.h"
#include "api/session.h"
#include "common/nx_log.h"
#include "sensorlib/data_file.h"

namespace {

constexpr const char *kFn = "nivex_dev_open_recording";

// A fresh folder of this process for the recording's files; empty on failure.
std::string make_private_folder() {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) return {};
    std::string pattern = (base / "nivex_replay_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

bool unpack_files(const nx::rec::Recording &recording, const std::string &folder) {
    for (const nx::rec::CalibFile &file : recording.files) {
        std::ofstream out(std::filesystem::path(folder) / file.name,
                          std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(file.bytes.data()),
                  static_cast<std::streamsize>(file.bytes.size()));
        if (!out) return false;
    }
    return true;
}

std::unique_ptr<nx::rec::ReplaySource> load_source(const char *path, uint32_t flags) {
    auto source = std::make_unique<nx::rec::ReplaySource>();
    source->loop = (flags & NIVEX_REPLAY_LOOP) != 0;
    source->fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (source->fd < 0) {
        NX_ERR(kFn, "[%s] cannot open recording %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    std::optional<nx::rec::Recording> recording = nx::rec::read_recording(source->fd, kFn);
    if (!recording) {
        ::close(source->fd);
        return nullptr;
    }
    source->recording = std::move(*recording);
    source->folder = make_private_folder();
    if (source->folder.empty() || !unpack_files(source->recording, source->folder)) {
        NX_ERR(kFn, "[%s] cannot unpack the calibration files of %s\n", path);
        std::error_code ignored;
        if (!source->folder.empty()) std::filesystem::remove_all(source->folder, ignored);
        ::close(source->fd);
        return nullptr;
    }
    return source;
}

// A library-owned record with the recorded identity, freed at close.
nivex_device *new_record(const nx::rec::Identity &identity) {
    auto *dev = static_cast<nivex_device *>(std::calloc(1, sizeof(nivex_device)));
    if (dev == nullptr) return nullptr;
    std::memcpy(&dev->dev_fd, identity.block.data(), identity.block.size());
    dev->free_on_close = 1;
    return dev;
}

void set_filters(nivex_device *dev, const std::vector<nx::rec::FilterSetting> &filters) {
    for (const nx::rec::FilterSetting &filter : filters) {
        nivex_filter_args arg{};
        std::memcpy(&arg, &filter.arg, sizeof filter.arg);
        const int done = filter.on ? nivex_filter_enable(dev, filter.id, &arg, sizeof arg)
                                   : nivex_filter_disable(dev, filter.id);
        if (done != 1)
            NX_WRN(kFn, "[%s] recorded filter %d could not be set again\n",
                   static_cast<int>(filter.id));
    }
}

nivex_device *open_recording(const char *path, uint32_t flags) {
    std::unique_ptr<nx::rec::ReplaySource> source = load_source(path, flags);
    if (!source) return nullptr;
    nivex_device *dev = new_record(source->recording.identity);
    if (dev == nullptr) {
        NX_ERR(kFn, "[%s] malloc failed\n");
        return nullptr;
    }
    const std::vector<nx::rec::FilterSetting> filters = source->recording.filters;
    nx::sensor::set_device_data_folder(dev, source->folder + "/");
    void *priv = nx::rec::make_replay_priv(std::move(source));
    if (nx::open_on_transport(dev, &ll_op_replay, priv) == nullptr) {
        // The failed open freed the record: only its folder entry is left.
        nx::sensor::set_device_data_folder(dev, "");
        NX_ERR(kFn, "[%s] cannot open recording %s as a device\n", path);
        return nullptr;
    }
    set_filters(dev, filters);
    NX_INF(kFn, "[%s] %s: %s\n", path, dev->product);
    return dev;
}

}  // namespace

extern "C" {

nivex_device *nivex_dev_open_recording(const char *path, uint32_t flags) {
    if (path == nullptr) {
        NX_ERR(kFn, "[%s] no file name\n");
        return nullptr;
    }
    try {
        return open_recording(path, flags);
    } catch (const std::exception &) {
        NX_ERR(kFn, "[%s] malloc failed\n");
        return nullptr;
    }
}

}  // extern "C"
