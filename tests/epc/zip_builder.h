// Zip archives built in memory for the tests of the calibration package.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace epctest {

struct Entry {
    Entry(std::string n, std::string d, unsigned t = AE_IFREG, std::string l = {})
        : name(std::move(n)), data(std::move(d)), type(t), link(std::move(l)) {}
    std::string name;
    std::string data;
    unsigned type;
    std::string link;  // symbolic link target
};

inline la_ssize_t append(archive *, void *out, const void *data, size_t size) {
    auto *bytes = static_cast<std::vector<uint8_t> *>(out);
    bytes->insert(bytes->end(), static_cast<const uint8_t *>(data),
                  static_cast<const uint8_t *>(data) + size);
    return static_cast<la_ssize_t>(size);
}

inline std::vector<uint8_t> make_zip(const std::vector<Entry> &entries) {
    std::vector<uint8_t> bytes;
    std::unique_ptr<archive, int (*)(archive *)> a(archive_write_new(), archive_write_free);
    archive_write_set_format_zip(a.get());
    archive_write_set_bytes_in_last_block(a.get(), 1);
    archive_write_open2(a.get(), &bytes, nullptr, append, nullptr, nullptr);
    for (const Entry &e : entries) {
        std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(),
                                                                        archive_entry_free);
        archive_entry_set_pathname(entry.get(), e.name.c_str());
        archive_entry_set_filetype(entry.get(), e.type);
        archive_entry_set_perm(entry.get(), 0644);
        if (e.type == AE_IFLNK) archive_entry_set_symlink(entry.get(), e.link.c_str());
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(e.data.size()));
        archive_write_header(a.get(), entry.get());
        if (!e.data.empty()) archive_write_data(a.get(), e.data.data(), e.data.size());
    }
    archive_write_close(a.get());
    return bytes;
}

}  // namespace epctest
