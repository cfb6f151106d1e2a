#include "drivers/epc/epc_calib_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "common/nx_log.h"

namespace nx::epc {
namespace {

constexpr const char *kFn = "_calib_pk_parse";
constexpr const char *kEntryFn = "on_extract_to_folder_entry";
constexpr int kEntryPerm = 0644;

struct ReadCloser {
    void operator()(archive *a) const { archive_read_free(a); }
};
struct WriteCloser {
    void operator()(archive *a) const { archive_write_free(a); }
};
using Reader = std::unique_ptr<archive, ReadCloser>;
using Writer = std::unique_ptr<archive, WriteCloser>;

// The zip reader that takes the central directory into account: only there
// does a zip archive mark its symbolic links.
Reader open_zip(std::span<const uint8_t> zip) {
    Reader reader(archive_read_new());
    if (!reader) return nullptr;
    if (archive_read_support_format_zip_seekable(reader.get()) != ARCHIVE_OK ||
        archive_read_open_memory(reader.get(), zip.data(), zip.size()) != ARCHIVE_OK)
        return nullptr;
    return reader;
}

// Why the entry may not be unpacked into the folder; null when it may.
const char *refusal(archive_entry *entry) {
    const char *name = archive_entry_pathname(entry);
    if (name == nullptr || *name == '\0') return "no name";
    if (archive_entry_symlink(entry) != nullptr || archive_entry_hardlink(entry) != nullptr)
        return "a link";
    if (archive_entry_filetype(entry) != AE_IFREG) return "not a regular file";
    const std::string n(name);
    if (n == "." || n == "..") return "a folder name";
    // One plain name: no folder part, so no absolute path and no "..".
    if (n.find('/') != std::string::npos || n.find('\\') != std::string::npos)
        return "a path, not a plain file name";
    return nullptr;
}

// First pass: every entry is acceptable and the whole stays within the
// limits as far as the headers tell; the entry count.
std::optional<int> check_entries(std::span<const uint8_t> zip, const ArchiveLimits &limits) {
    Reader reader = open_zip(zip);
    if (!reader) {
        NX_ERR(kFn, "[%s] not a zip archive\n");
        return std::nullopt;
    }
    archive_entry *entry = nullptr;
    int count = 0;
    uint64_t bytes = 0;
    int r;
    while ((r = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        if (static_cast<size_t>(++count) > limits.max_entries) {
            NX_ERR(kFn, "[%s] more than %d entries in the archive\n",
                   static_cast<int>(limits.max_entries));
            return std::nullopt;
        }
        if (const char *why = refusal(entry)) {
            const char *name = archive_entry_pathname(entry);
            NX_ERR(kFn, "[%s] entry \"%s\" refused: %s\n", name != nullptr ? name : "", why);
            return std::nullopt;
        }
        if (archive_entry_size_is_set(entry))
            bytes += static_cast<uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0));
        if (bytes > limits.max_bytes) {
            NX_ERR(kFn, "[%s] the archive unpacks to more than %llu bytes\n",
                   static_cast<unsigned long long>(limits.max_bytes));
            return std::nullopt;
        }
    }
    if (r != ARCHIVE_EOF) {
        NX_ERR(kFn, "[%s] damaged archive: %s\n", archive_error_string(reader.get()));
        return std::nullopt;
    }
    return count;
}

// Copies the data of the current entry, counting the bytes it really
// unpacks to (a header may understate them).
bool copy_data(archive *reader, archive *writer, uint64_t &bytes, const ArchiveLimits &limits) {
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int r = archive_read_data_block(reader, &block, &size, &offset);
        if (r == ARCHIVE_EOF) return true;
        if (r != ARCHIVE_OK) {
            NX_ERR(kFn, "[%s] damaged archive: %s\n", archive_error_string(reader));
            return false;
        }
        bytes += size;
        if (bytes > limits.max_bytes) {
            NX_ERR(kFn, "[%s] the archive unpacks to more than %llu bytes\n",
                   static_cast<unsigned long long>(limits.max_bytes));
            return false;
        }
        if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
            NX_ERR(kFn, "[%s] write failed: %s\n", archive_error_string(writer));
            return false;
        }
    }
}

}  // namespace

std::optional<std::vector<std::string>> extract_zip(std::span<const uint8_t> zip,
                                                    const std::string &folder,
                                                    const ArchiveLimits &limits) {
    const std::optional<int> count = check_entries(zip, limits);
    if (!count) return std::nullopt;
    Reader reader = open_zip(zip);
    Writer writer(archive_write_disk_new());
    if (!reader || !writer) return std::nullopt;
    // The target path is the folder (which may well be absolute) and a name
    // checked above, so absolute paths are refused by that check; the flags
    // guard against links and ".." once more.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                     ARCHIVE_EXTRACT_NO_OVERWRITE);
    std::vector<std::string> names;
    archive_entry *entry = nullptr;
    uint64_t bytes = 0;
    for (int i = 1; i <= *count; ++i) {
        if (archive_read_next_header(reader.get(), &entry) != ARCHIVE_OK || refusal(entry)) {
            NX_ERR(kFn, "[%s] damaged archive: %s\n", archive_error_string(reader.get()));
            return std::nullopt;
        }
        std::string name = archive_entry_pathname(entry);
        archive_entry_set_pathname(entry, (folder + name).c_str());
        archive_entry_set_perm(entry, kEntryPerm);
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
            NX_ERR(kFn, "[%s] cannot create %s: %s\n", name.c_str(),
                   archive_error_string(writer.get()));
            return std::nullopt;
        }
        if (!copy_data(reader.get(), writer.get(), bytes, limits)) return std::nullopt;
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
            NX_ERR(kFn, "[%s] write failed: %s\n", archive_error_string(writer.get()));
            return std::nullopt;
        }
        NX_DBG(kEntryFn, "[%s] Extracted: %s (%d of %d)\n", name.c_str(), i, *count);
        names.push_back(std::move(name));
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) return std::nullopt;
    return names;
}

StagingFolder::StagingFolder(const std::string &parent) {
    std::string pattern = parent + ".calib-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return;
    // Without ".." or links in it: the extraction refuses paths with either,
    // and a data folder may well be given as "../data/".
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(pattern, error);
    if (error) {
        rmdir(pattern.c_str());
        return;
    }
    prefix_ = real.string() + "/";
}

StagingFolder::~StagingFolder() {
    if (prefix_.empty()) return;
    // Only plain files are ever created in it.
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(prefix_.c_str()), closedir);
    if (dir) {
        while (const dirent *e = readdir(dir.get())) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") std::remove((prefix_ + name).c_str());
        }
    }
    rmdir(prefix_.c_str());
}

}  // namespace nx::epc
