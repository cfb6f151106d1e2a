// Unpacking the camera's calibration archive (a zip file) into a folder.
//
// The archive comes from the camera, so it is treated as hostile: only plain
// files with plain names are taken (no folders, no absolute paths, no ".."
// and no links or device files), and the number of entries and the bytes
// they unpack to are bounded, so that a damaged or malicious archive can
// neither write outside the folder nor fill the disk. An archive with any
// entry that breaks these rules is refused as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nx::epc {

struct ArchiveLimits {
    size_t max_entries = 64;
    uint64_t max_bytes = uint64_t{64} << 20;  // all entries together, unpacked
};

// Writes every entry of `zip` into `folder` (a prefix that ends in a
// separator) and returns their names in archive order; each one logs its
// "Extracted" line. Empty on refusal or a damaged archive (with an error
// naming the cause); entries written before the fault stay in `folder`, so
// callers unpack into a folder of their own (see StagingFolder).
std::optional<std::vector<std::string>> extract_zip(std::span<const uint8_t> zip,
                                                    const std::string &folder,
                                                    const ArchiveLimits &limits = {});

// A private folder inside the data folder that the archive is unpacked into
// first; it is removed, with what is left in it, when the object goes.
// Unique per use, so two cameras unpacking at once never see each other's
// files.
class StagingFolder {
  public:
    // Creates the folder under `parent` (a prefix that ends in a separator);
    // check ok() afterwards.
    explicit StagingFolder(const std::string &parent);
    ~StagingFolder();
    StagingFolder(const StagingFolder &) = delete;
    StagingFolder &operator=(const StagingFolder &) = delete;

    bool ok() const { return !prefix_.empty(); }
    // The folder followed by a separator.
    const std::string &prefix() const { return prefix_; }

  private:
    std::string prefix_;
};

}  // namespace nx::epc
