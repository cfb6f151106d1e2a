#include "drivers/epc/epc_calib_package.h"

#include <fnmatch.h>

#include <array>
#include <cstdio>

#include "common/byte_order.h"
#include "common/nx_log.h"
#include "drivers/epc/epc_calib_archive.h"
#include "sensorlib/data_file.h"

namespace nx::epc {
namespace {

constexpr const char *kParseFn = "_calib_pk_parse";
constexpr const char *kSearchFn = "_parase_file";
constexpr const char *kSplitFn = "_parse_file_ex";
constexpr const char *kPackagePattern = "calib_and_param*.bin";
constexpr long kImageAlign = 256;
constexpr size_t kPiece = 4096;
constexpr const char *kPartSuffix = ".part";

using nx::sensor::FilePtr;

// Copies `n` bytes of `in` into a new file at `path`; every write and the
// close are checked.
bool write_part(std::FILE *in, const std::string &path, long n) {
    FilePtr out(std::fopen(path.c_str(), "wb"));
    if (!out) {
        NX_ERR(kSplitFn, "[%s] %s open failed\n", path.c_str());
        return false;
    }
    std::array<char, kPiece> piece;
    while (n > 0) {
        const size_t want = std::min(static_cast<size_t>(n), piece.size());
        if (std::fread(piece.data(), 1, want, in) != want) {
            NX_ERR(kSplitFn, "[%s] short read of the package\n");
            return false;
        }
        if (std::fwrite(piece.data(), 1, want, out.get()) != want) {
            NX_ERR(kSplitFn, "[%s] %s write failed\n", path.c_str());
            return false;
        }
        n -= static_cast<long>(want);
    }
    if (std::fclose(out.release()) != 0) {
        NX_ERR(kSplitFn, "[%s] %s write failed\n", path.c_str());
        return false;
    }
    return true;
}

bool move_into(const std::string &from, const std::string &to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    NX_WRN(kParseFn, "[%s] cannot move %s to %s\n", from.c_str(), to.c_str());
    return false;
}

// The header's sizes agree with each other and with the block received.
bool sizes_agree(const CalibHeader &h, size_t received) {
    if (h.fsize >= kCalibHeaderSize && h.valid_size <= h.fsize - kCalibHeaderSize &&
        h.fsize <= received)
        return true;
    NX_ERR(kParseFn, "[%s] block sizes disagree: fsize %u, archive %u, received %u\n", h.fsize,
           h.valid_size, static_cast<unsigned>(received));
    return false;
}

}  // namespace

CalibHeader parse_calib_header(std::span<const uint8_t, kCalibHeaderSize> bytes) {
    CalibHeader h;
    h.valid = bytes[0];
    h.zip_used = bytes[2];
    h.version = nx::load_le32(bytes.data() + 3);
    h.fsize = nx::load_le32(bytes.data() + 7);
    h.valid_size = nx::load_le32(bytes.data() + 11);
    h.ck_sum = nx::load_le16(bytes.data() + 15);
    return h;
}

std::string package_name(uint16_t chip_id) {
    char name[40];
    std::snprintf(name, sizeof name, "calib_and_param_%03i.bin", static_cast<int>(chip_id));
    return name;
}

std::optional<std::string> choose_package(const std::vector<std::string> &names, uint16_t chip_id) {
    const std::string expected = package_name(chip_id);
    std::optional<std::string> first;
    for (const std::string &name : names) {
        if (fnmatch(kPackagePattern, name.c_str(), 0) != 0) continue;
        NX_DBG(kSearchFn, "[%s] find:%s\n", name.c_str());
        if (name == expected) {
            NX_DBG(kSearchFn, "[%s] parse...\n");
            return name;
        }
        NX_TRC(kSearchFn, "[%s] try to find next\n");
        if (!first) first = name;
    }
    if (first)
        NX_WRN(kSearchFn, "[%s] no %s, taking %s of another chip\n", expected.c_str(),
               first->c_str());
    return first;
}

bool split_package(const std::string &package, const std::string &param_path,
                   const std::string &images_path) {
    FilePtr in = nx::sensor::open_for_reading(package);
    if (!in) {
        NX_ERR(kSplitFn, "[%s] %s open failed\n", package.c_str());
        return false;
    }
    const std::optional<long> n = nx::sensor::file_size(in.get());
    if (!n) {
        NX_ERR(kSplitFn, "[%s] %s: size unknown\n", package.c_str());
        return false;
    }
    // The parameter file is shorter than 256 bytes and the images a whole
    // number of 256-byte blocks: no remainder means no parameter part.
    const long param_len = *n % kImageAlign;
    if (param_len == 0) {
        NX_ERR(kSplitFn, "[%s] %s: %ld bytes hold no parameter part\n", package.c_str(), *n);
        return false;
    }
    const std::string param_part = param_path + kPartSuffix;
    const std::string images_part = images_path + kPartSuffix;
    bool ok = write_part(in.get(), param_part, param_len) &&
              write_part(in.get(), images_part, *n - param_len);
    if (ok) ok = std::rename(param_part.c_str(), param_path.c_str()) == 0;
    if (ok) ok = std::rename(images_part.c_str(), images_path.c_str()) == 0;
    std::remove(param_part.c_str());
    std::remove(images_part.c_str());
    if (!ok) NX_ERR(kSplitFn, "[%s] %s: split failed\n", package.c_str());
    return ok;
}

bool unpack_calib_block(const epc_driver_state &state, std::span<const uint8_t> block) {
    if (block.size() < kCalibHeaderSize) {
        NX_ERR(kParseFn, "[%s] block of %u bytes has no header\n",
               static_cast<unsigned>(block.size()));
        return false;
    }
    const CalibHeader h = parse_calib_header(block.first<kCalibHeaderSize>());
    if (h.valid == 0) {
        NX_DBG(kParseFn, "[%s] Data not valid\n");
        return false;
    }
    if (h.zip_used != 1) {
        NX_WRN(kParseFn, "[%s] No zip used\n");
        return false;
    }
    if (!sizes_agree(h, block.size())) return false;

    const std::string folder = nx::sensor::data_path("");
    StagingFolder staging(folder);
    if (!staging.ok()) {
        NX_ERR(kParseFn, "[%s] cannot create a work folder in %s\n", folder.c_str());
        return false;
    }
    const auto names = extract_zip(block.subspan(kCalibHeaderSize, h.valid_size), staging.prefix());
    if (!names) {
        NX_ERR(kParseFn, "[%s] %s zip failed\n", folder.c_str());
        return false;
    }
    NX_DBG(kParseFn, "[%s] unzip %s OK\n", folder.c_str());

    const std::optional<std::string> package = choose_package(*names, state.sensor->chip_id());
    // Every file of the archive lands in the data folder; the package only
    // when it cannot be split (kept for inspection).
    for (const std::string &name : *names)
        if (name != package) move_into(staging.prefix() + name, folder + name);
    if (!package) {
        NX_ERR(kSearchFn, "[%s] cann't find file in %s\n", folder.c_str());
        NX_DBG(kSearchFn, "[%s] _parase_file failed\n");
        return false;
    }
    if (split_package(staging.prefix() + *package, folder + state.drnu_param_name.data(),
                      folder + state.dist_images_name.data()))
        return true;
    NX_DBG(kSearchFn, "[%s] parse fail: %s\n", package->c_str());
    move_into(staging.prefix() + *package, folder + *package);
    return false;
}

}  // namespace nx::epc
