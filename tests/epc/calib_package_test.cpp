// The pieces of the calibration package step on their own: unpacking hostile
// archives, choosing the package of the right chip, and splitting a package
// into the two DRNU files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "drivers/epc/epc_calib_archive.h"
#include "drivers/epc/epc_calib_package.h"
#include "support/sim_fixture.h"
#include "support/test_support.h"
#include "zip_builder.h"

namespace epctest {
namespace {

namespace fs = std::filesystem;
using nx::epc::ArchiveLimits;

std::vector<std::string> files_in(const fs::path &folder) {
    std::vector<std::string> names;
    for (const auto &e : fs::recursive_directory_iterator(folder))
        names.push_back(e.path().lexically_relative(folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

void write_bytes(const fs::path &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class CalibPackage : public nxtest::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        out_ = dir_.path() / "out";
        fs::create_directories(out_);
    }
    std::string out() const { return out_.string() + "/"; }
    fs::path out_;
};

TEST_F(CalibPackage, PlainFilesAreExtractedWithTheirLines) {
    const auto zip = make_zip({{"lens_param.txt", "157\n"}, {"calib_and_param_007.bin", "xyz"}});
    const auto names = nx::epc::extract_zip(zip, out());
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{"lens_param.txt", "calib_and_param_007.bin"}));
    EXPECT_EQ(nxtest::read_file((out_ / "calib_and_param_007.bin").string()), "xyz");
    EXPECT_TRUE(logged("[DBG] [on_extract_to_folder_entry] Extracted: lens_param.txt (1 of 2)\n"));
    EXPECT_TRUE(logged("Extracted: calib_and_param_007.bin (2 of 2)\n"));
}

// Every entry that could land outside the folder, or is no plain file, makes
// the whole archive refused before anything is written. (Zip has no hard
// links or device files; the check refuses them all the same.)
TEST_F(CalibPackage, HostileEntriesRefuseTheWholeArchive) {
    const std::vector<Entry> hostile = {
        {"/tmp/absolute.txt", "x"},
        {"../up.txt", "x"},
        {"sub/../../up.txt", "x"},
        {"sub/inner.txt", "x"},
        {"link", "", AE_IFLNK, "/etc"},
        {"folder/", "", AE_IFDIR},
        {"..", "x"},
    };
    for (const Entry &bad : hostile) {
        const auto zip = make_zip({{"ok.txt", "fine"}, bad});
        EXPECT_FALSE(nx::epc::extract_zip(zip, out())) << bad.name;
        EXPECT_TRUE(files_in(out_).empty()) << bad.name;
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "up.txt"));
    EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "up.txt"));
}

TEST_F(CalibPackage, TooManyEntriesOrBytesAreRefused) {
    std::vector<Entry> many;
    for (int i = 0; i < 5; ++i)
        many.push_back({"f" + std::to_string(i), "x"});
    ArchiveLimits limits;
    limits.max_entries = 4;
    EXPECT_FALSE(nx::epc::extract_zip(make_zip(many), out(), limits));
    EXPECT_TRUE(logged("more than 4 entries"));
    EXPECT_TRUE(files_in(out_).empty());

    // Compresses to almost nothing, unpacks beyond the bound.
    limits = ArchiveLimits{};
    limits.max_bytes = 1 << 16;
    EXPECT_FALSE(
        nx::epc::extract_zip(make_zip({{"bomb", std::string(1 << 20, '\0')}}), out(), limits));
    EXPECT_TRUE(logged("unpacks to more than 65536 bytes"));
    EXPECT_TRUE(
        nx::epc::extract_zip(make_zip({{"fits", std::string(1 << 16, '\0')}}), out(), limits));
}

TEST_F(CalibPackage, DamagedArchivesAreRefused) {
    std::string content;
    uint32_t x = 12345;  // incompressible bytes
    for (int i = 0; i < 5000; ++i) {
        x = x * 1103515245u + 12345u;
        content.push_back(static_cast<char>(x >> 24));
    }
    std::vector<uint8_t> zip = make_zip({{"a.bin", content}});
    EXPECT_FALSE(nx::epc::extract_zip(std::span(zip).first(zip.size() / 2), out()));
    // Data that no longer matches its checksum.
    std::vector<uint8_t> flipped = zip;
    for (size_t i = 2000; i < 2010; ++i)
        flipped[i] ^= 0xFF;
    EXPECT_FALSE(nx::epc::extract_zip(flipped, out()));
    const std::vector<uint8_t> nothing;
    EXPECT_FALSE(nx::epc::extract_zip(nothing, out()));
}

// A data folder named with ".." (or through a link) still takes the archive.
TEST_F(CalibPackage, StagingFolderTakesArchivesWhateverTheDataFolderIsCalled) {
    fs::create_directory_symlink(out_, dir_.path() / "link");
    for (const std::string &parent : {out_.string() + "/../out/", dir_.file("link") + "/"}) {
        nx::epc::StagingFolder staging(parent);
        ASSERT_TRUE(staging.ok()) << parent;
        EXPECT_TRUE(nx::epc::extract_zip(make_zip({{"a.txt", "a"}}), staging.prefix())) << parent;
        EXPECT_EQ(nxtest::read_file(staging.prefix() + "a.txt"), "a");
    }
    EXPECT_TRUE(files_in(out_).empty());
}

TEST_F(CalibPackage, StagingFolderGoesWithItsFiles) {
    std::string prefix;
    {
        nx::epc::StagingFolder staging(out());
        ASSERT_TRUE(staging.ok());
        prefix = staging.prefix();
        write_bytes(prefix + "left.bin", "x");
        nx::epc::StagingFolder other(out());
        EXPECT_NE(other.prefix(), prefix);
    }
    EXPECT_FALSE(fs::exists(prefix));
    EXPECT_TRUE(files_in(out_).empty());
}

TEST_F(CalibPackage, ThePackageOfTheChipIsPreferred) {
    const std::vector<std::string> names = {"lens_param.txt", "calib_and_param_009.bin",
                                            "calib_and_param_007.bin"};
    EXPECT_EQ(nx::epc::choose_package(names, 7), "calib_and_param_007.bin");
    EXPECT_FALSE(logged("taking"));
    EXPECT_EQ(nx::epc::choose_package(names, 5), "calib_and_param_009.bin");
    EXPECT_TRUE(
        logged("[WRN] [_parase_file] no calib_and_param_005.bin, taking calib_and_param_009.bin of "
               "another chip\n"));
    EXPECT_FALSE(nx::epc::choose_package({"lens_param.txt", "calib_and_param.txt"}, 7));
}

TEST_F(CalibPackage, SplitCutsTheParameterPartByTheLengthModulo256) {
    std::string package(24, 'p');
    for (size_t i = 0; i < 153600; ++i)
        package.push_back(static_cast<char>(i * 7));
    write_bytes(out_ / "pkg.bin", package);
    const std::string param = out() + "param.bin", images = out() + "images.bin";
    ASSERT_TRUE(nx::epc::split_package(out() + "pkg.bin", param, images));
    EXPECT_EQ(nxtest::read_file(param), package.substr(0, 24));
    EXPECT_EQ(nxtest::read_file(images), package.substr(24));
    EXPECT_EQ(files_in(out_), (std::vector<std::string>{"images.bin", "param.bin", "pkg.bin"}));
}

TEST_F(CalibPackage, SplitRefusesAPackageWithoutParameterPart) {
    write_bytes(out_ / "pkg.bin", std::string(153600, 'i'));
    EXPECT_FALSE(
        nx::epc::split_package(out() + "pkg.bin", out() + "param.bin", out() + "images.bin"));
    EXPECT_TRUE(logged("153600 bytes hold no parameter part"));
    EXPECT_EQ(files_in(out_), (std::vector<std::string>{"pkg.bin"}));
}

// A write that cannot complete leaves neither file in place, so the missing
// calibration is fetched again at the next open.
TEST_F(CalibPackage, AFailedSplitWritesNothing) {
    write_bytes(out_ / "pkg.bin", std::string(24 + 512, 'q'));
    EXPECT_FALSE(nx::epc::split_package(out() + "pkg.bin", out() + "param.bin",
                                        out() + "missing/images.bin"));
    EXPECT_EQ(files_in(out_), (std::vector<std::string>{"pkg.bin"}));
    if (fs::exists("/dev/full")) {
        // The parameter part fits, the images cannot be written: no file is
        // left half written.
        fs::create_symlink("/dev/full", out_ / "images.bin.part");
        EXPECT_FALSE(
            nx::epc::split_package(out() + "pkg.bin", out() + "param.bin", out() + "images.bin"));
        EXPECT_FALSE(fs::exists(out_ / "param.bin"));
        EXPECT_FALSE(fs::exists(out_ / "images.bin"));
    }
}

}  // namespace
}  // namespace epctest
