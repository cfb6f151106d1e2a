#include "sim/physics/calibration_block.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "sim/physics/factory_calibration.h"

namespace nxsim::physics {
namespace {

constexpr uint32_t kBlockVersion = 1;

struct WriteCloser {
    void operator()(archive *a) const { archive_write_free(a); }
};

struct ZipFile {
    std::string name;
    std::vector<uint8_t> data;
    // A symbolic link to `link` instead of a file.
    std::string link;
};

la_ssize_t append(archive *, void *out, const void *data, size_t size) {
    auto *bytes = static_cast<std::vector<uint8_t> *>(out);
    const auto *p = static_cast<const uint8_t *>(data);
    bytes->insert(bytes->end(), p, p + size);
    return static_cast<la_ssize_t>(size);
}

std::vector<uint8_t> zip(const std::vector<ZipFile> &files) {
    std::vector<uint8_t> bytes;
    std::unique_ptr<archive, WriteCloser> a(archive_write_new());
    archive_write_set_format_zip(a.get());
    // Fast deflate: the camera model builds this at start-up.
    archive_write_set_options(a.get(), "zip:compression-level=1");
    archive_write_set_bytes_in_last_block(a.get(), 1);  // no padding after the archive
    archive_write_open2(a.get(), &bytes, nullptr, append, nullptr, nullptr);
    for (const ZipFile &f : files) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> e(archive_entry_new(),
                                                                    archive_entry_free);
        archive_entry_set_pathname(e.get(), f.name.c_str());
        if (f.link.empty()) {
            archive_entry_set_filetype(e.get(), AE_IFREG);
            archive_entry_set_perm(e.get(), 0644);
            archive_entry_set_size(e.get(), static_cast<la_int64_t>(f.data.size()));
        } else {
            archive_entry_set_filetype(e.get(), AE_IFLNK);
            archive_entry_set_perm(e.get(), 0777);
            archive_entry_set_symlink(e.get(), f.link.c_str());
            archive_entry_set_size(e.get(), 0);
        }
        archive_write_header(a.get(), e.get());
        if (!f.data.empty()) archive_write_data(a.get(), f.data.data(), f.data.size());
        archive_write_finish_entry(a.get());
    }
    archive_write_close(a.get());
    return bytes;
}

void put(std::vector<uint8_t> &out, size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> build(const CameraConfig &config) {
    char name[40];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", config.chip_id);
    std::vector<ZipFile> files;
    files.push_back({name, factory_package(config), {}});
    if (!config.lens_file.empty())
        files.push_back({"lens_param.txt", {config.lens_file.begin(), config.lens_file.end()}, {}});
    if (config.calib == CalibArchive::Evil) {
        const std::string text = "written outside the data folder\n";
        files.insert(files.begin(), {"../escaped.txt", {text.begin(), text.end()}, {}});
        files.insert(files.begin(), {"escape_link", {}, "/tmp"});
    }
    std::vector<uint8_t> archive_bytes = zip(files);
    if (config.calib == CalibArchive::Bad) {
        // Damage the compressed data and the central directory alike.
        for (size_t i = 64; i < archive_bytes.size(); i += 97)
            archive_bytes[i] ^= 0x5A;
    }
    std::vector<uint8_t> block(kCalibHeaderSize, 0);
    block.insert(block.end(), archive_bytes.begin(), archive_bytes.end());
    block[0] = 1;
    block[2] = config.calib == CalibArchive::NoZip ? 0 : 1;
    put(block, 3, kBlockVersion, 4);
    put(block, 7, static_cast<uint32_t>(block.size()), 4);
    put(block, 11, static_cast<uint32_t>(archive_bytes.size()), 4);
    put(block, 15, 0, 2);  // the camera computes no checksum
    return block;
}

}  // namespace

std::vector<uint8_t> calibration_block(const CameraConfig &config) {
    if (config.calib == CalibArchive::None) return {};
    using Key = std::tuple<uint16_t, uint16_t, double, int, std::string>;
    static std::mutex mu;
    static std::map<Key, std::vector<uint8_t>> blocks;
    const Key key{config.wafer_id, config.chip_id, config.scene.drnu_mm,
                  static_cast<int>(config.calib), config.lens_file};
    std::lock_guard lock(mu);
    auto it = blocks.find(key);
    if (it == blocks.end()) it = blocks.emplace(key, build(config)).first;
    return it->second;
}

}  // namespace nxsim::physics
