// The first open of an EPC camera fetches its factory calibration: the camera
// sends the block in its data-upload mode, the archive is unpacked and the
// package split into the two DRNU files, which later opens find. Faults of
// the camera's block leave a usable camera and no stray files.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "accuracy_harness.h"
#include "drivers/epc/epc_calib_package.h"
#include "drivers/epc/epc_calibration.h"
#include "epc_fixture.h"
#include "support/test_support.h"
#include "zip_builder.h"

namespace epctest {
namespace {

namespace fs = std::filesystem;
using nxsim::CalibArchive;

constexpr const char *kParamName = "kpl_ex_drnu_param_W1042_C007_10.bin";
constexpr const char *kImagesName = "kpl_ex_images_drnu_W1042_C007_10.bin";
constexpr size_t kImagesBytes = 30 * kPixels * 2;
const std::vector<uint8_t> kUploadMode = {9};
const std::vector<uint8_t> kNormalMode = {0};

std::set<std::string> files_in(const fs::path &folder) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

class CalibUpload : public EpcTest {
  protected:
    // The data folder is a folder of its own, so that its parent can be
    // checked for files that escaped it.
    void SetUp() override {
        EpcTest::SetUp();
        data_ = dir_.path() / "data";
        ASSERT_EQ(nivex_path_cfg((data_.string() + "/").c_str()), 0);
    }

    static nxsim::CameraConfig camera(CalibArchive kind, uint16_t chip_id = kChipId) {
        nxsim::CameraConfig config;
        config.product = kProduct;
        config.chip_id = chip_id;
        config.wafer_id = kWaferId;
        config.calib = kind;
        return config;
    }

    // The factory's files of `config`, as the simulator writes them.
    std::string factory_file(const nxsim::CameraConfig &config, const std::string &name) {
        const fs::path folder = dir_.path() / ("factory" + std::to_string(config.chip_id));
        fs::create_directories(folder);
        nxsim::Camera cam = nxsim::add_camera(config);
        EXPECT_TRUE(cam.write_factory_calibration(folder.string() + "/"));
        return nxtest::read_file((folder / name).string());
    }

    bool uses_drnu_table() {
        return nx::epc::drnu_calib(state(), nx::epc::current_constants(state()), kWidth, kHeight)
            .has_value();
    }

    // The simple calibration still turns a frame into distances (also with
    // the per-pixel calibration switched on but no table to use).
    void expect_simple_distances() {
        EXPECT_EQ(state().constants().range_mm, 12491u);
        EXPECT_EQ(state().constants().drnu_offset_phase, 708);
        Image out;
        ASSERT_GT(decode(NX_DECODE_DISTANCE, uniform_raw(kPixels, samples_for(7000, 700)), out), 0);
        EXPECT_LT(out[kPixels / 2], nx::epc::kMaxDistance);
    }

    fs::path data_;
};

TEST_F(CalibUpload, FirstOpenFetchesTheCalibrationAndLaterOpensFindIt) {
    const nxsim::CameraConfig config = camera(CalibArchive::Zip);
    const std::string factory_images = factory_file(config, kImagesName);
    nxsim::reset();
    cam_ = add_epc_camera(config);
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_FALSE(logged("Load calibration data failed"));
    EXPECT_TRUE(
        logged("[DBG] [on_extract_to_folder_entry] Extracted: calib_and_param_007.bin "
               "(1 of 1)\n"));
    EXPECT_TRUE(logged("[DBG] [_parase_file] find:calib_and_param_007.bin\n"));
    EXPECT_EQ(files_in(data_), (std::set<std::string>{kParamName, kImagesName}));
    EXPECT_EQ(fs::file_size(data_ / kParamName), 24u);
    EXPECT_EQ(fs::file_size(data_ / kImagesName), kImagesBytes);
    // The very calibration of this camera's sensor.
    EXPECT_TRUE(nxtest::read_file((data_ / kImagesName).string()) == factory_images);
    EXPECT_EQ(state().drnu_on.load(), 1);
    EXPECT_TRUE(uses_drnu_table());
    EXPECT_EQ(param_sets(cam_.wire_log(), 0), (std::vector{kUploadMode, kNormalMode}));
    EXPECT_FALSE(cam_.capturing());
    // The capture buffer the application sees is the one it had.
    void *buf = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(nivex_cap_get_frame_buffer(&dev_, &buf, &size));
    EXPECT_LT(size, nx::epc::kCalibBufferSize);

    nivex_dev_close(&dev_);
    cam_.clear_wire_log();
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_TRUE(param_sets(cam_.wire_log(), 0).empty());
    EXPECT_EQ(state().drnu_on.load(), 0);
    EXPECT_TRUE(uses_drnu_table());
}

// The per-pixel calibration fetched from the camera corrects that camera's
// error as well as the factory files do.
TEST_F(CalibUpload, FetchedCalibrationCorrectsTheSensor) {
    epcaccuracy::Run run({.wall_mm = 1500, .noise = false, .frames = 2, .fetch_calibration = true},
                         data_.string() + "/");
    const epcaccuracy::Figures f = run.figures();
    ASSERT_EQ(f.error, "");
    ASSERT_FALSE(f.frames.empty());
    const epcaccuracy::ErrorStats drnu = f.mean_of(&epcaccuracy::FrameFigures::drnu);
    const epcaccuracy::ErrorStats simple = f.mean_of(&epcaccuracy::FrameFigures::simple);
    EXPECT_GT(drnu.valid, kPixels * 9 / 10);
    EXPECT_LE(drnu.rms, f.floor_mm() + 2.0);
    EXPECT_LE(5 * drnu.rms, simple.rms);
    EXPECT_TRUE(logged("Extracted: calib_and_param_007.bin"));
}

struct BlockFault {
    CalibArchive kind;
    const char *message;
    bool open_fails_calibration;  // calib_load returns -1
};

class CalibFaults : public CalibUpload, public ::testing::WithParamInterface<BlockFault> {};

TEST_P(CalibFaults, EndWithTheirMessageAUsableCameraAndNoFiles) {
    const std::set<std::string> parent_before = files_in(dir_.path());
    cam_ = add_epc_camera(camera(GetParam().kind));
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_TRUE(logged(GetParam().message)) << GetParam().message;
    const bool refused_archive =
        GetParam().kind == CalibArchive::Bad || GetParam().kind == CalibArchive::Evil;
    EXPECT_EQ(logged("zip failed\n"), refused_archive);
    EXPECT_EQ(logged("[ERR] [nivex_dev_open] Load calibration data failed\n"),
              GetParam().open_fails_calibration);
    EXPECT_TRUE(files_in(data_).empty());
    EXPECT_EQ(files_in(dir_.path()), parent_before);
    EXPECT_FALSE(fs::exists(dir_.path().parent_path() / "escaped.txt"));
    EXPECT_EQ(param_sets(cam_.wire_log(), 0).back(), kNormalMode);
    EXPECT_FALSE(cam_.capturing());
    EXPECT_FALSE(uses_drnu_table());
    // A block was received: the per-pixel calibration is on, and waits for
    // files a later open fetches.
    EXPECT_EQ(state().drnu_on.load(), GetParam().open_fails_calibration ? 0 : 1);
    expect_simple_distances();
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, CalibFaults,
    ::testing::Values(
        BlockFault{CalibArchive::None,
                   "[DBG] [_load_calib_data] Calib data not valid: fsize:0, valid data size:0, "
                   "ck_sum:0, version:0\n",
                   true},
        BlockFault{CalibArchive::NoZip, "[WRN] [_calib_pk_parse] No zip used\n", false},
        BlockFault{CalibArchive::Bad, "zip failed\n", false},
        BlockFault{CalibArchive::Evil, "[ERR] [_calib_pk_parse] entry \"escape_link\" refused",
                   false}));

// A block the camera describes with sizes that cannot hold: refused before
// anything is allocated or written, and the camera back in mode 0.
TEST_F(CalibUpload, BlocksWithImpossibleSizesAreRefused) {
    struct Case {
        uint32_t fsize, valid_size;
        size_t sent;
        const char *message;
    };
    const Case cases[] = {
        {20000000, 100, 200, "calibration data of 20000000 bytes refused"},
        {10, 0, 17, "calibration data of 10 bytes refused"},
        {200, 190, 200, "block sizes disagree: fsize 200, archive 190"},
    };
    for (const Case &c : cases) {
        nxsim::CameraConfig config = camera(CalibArchive::Zip);
        config.stored_data.assign(c.sent, 0);
        config.stored_data[0] = 1;
        config.stored_data[2] = 1;
        for (int i = 0; i < 4; ++i) {
            config.stored_data[7 + i] = static_cast<uint8_t>(c.fsize >> (8 * i));
            config.stored_data[11 + i] = static_cast<uint8_t>(c.valid_size >> (8 * i));
        }
        cam_ = add_epc_camera(config);
        ASSERT_EQ(open_first(), &dev_);
        EXPECT_TRUE(logged(c.message)) << c.message;
        EXPECT_TRUE(files_in(data_).empty());
        EXPECT_EQ(param_sets(cam_.wire_log(), 0).back(), kNormalMode);
        expect_simple_distances();
        nivex_dev_close(&dev_);
        nxsim::reset();
    }
}

// The header and archive of a calibration block, as a camera sends it.
std::vector<uint8_t> block_of(const std::vector<uint8_t> &zip) {
    std::vector<uint8_t> block(nx::epc::kCalibHeaderSize, 0);
    block[0] = 1;
    block[2] = 1;
    const auto fsize = static_cast<uint32_t>(block.size() + zip.size());
    const auto valid_size = static_cast<uint32_t>(zip.size());
    for (int i = 0; i < 4; ++i) {
        block[7 + i] = static_cast<uint8_t>(fsize >> (8 * i));
        block[11 + i] = static_cast<uint8_t>(valid_size >> (8 * i));
    }
    block.insert(block.end(), zip.begin(), zip.end());
    return block;
}

// The package step on blocks with several packages, a package that cannot
// be split and none at all.
TEST_F(CalibUpload, PackageStepSplitsOnlyTheChipsOwnPackage) {
    cam_ = add_epc_camera(camera(CalibArchive::None));
    ASSERT_EQ(open_first(), &dev_);
    const std::string own = std::string(24, 'a') + std::string(153600, 'b');
    const std::string other = std::string(24, 'c') + std::string(153600, 'd');
    EXPECT_TRUE(nx::epc::unpack_calib_block(
        state(), block_of(make_zip(
                     {{"calib_and_param_009.bin", other}, {"calib_and_param_007.bin", own}}))));
    EXPECT_EQ(nxtest::read_file((data_ / kParamName).string()), own.substr(0, 24));
    EXPECT_EQ(nxtest::read_file((data_ / kImagesName).string()), own.substr(24));
    // The archive's other files land in the data folder as they are.
    EXPECT_EQ(files_in(data_),
              (std::set<std::string>{kParamName, kImagesName, "calib_and_param_009.bin"}));
    for (const auto &e : fs::directory_iterator(data_))
        fs::remove(e.path());

    EXPECT_FALSE(nx::epc::unpack_calib_block(
        state(), block_of(make_zip({{"calib_and_param_007.bin", std::string(153600, 'e')}}))));
    EXPECT_TRUE(logged("[DBG] [_parase_file] parse fail: calib_and_param_007.bin\n"));
    EXPECT_EQ(files_in(data_), (std::set<std::string>{"calib_and_param_007.bin"}));
    fs::remove(data_ / "calib_and_param_007.bin");

    EXPECT_FALSE(nx::epc::unpack_calib_block(state(), block_of(make_zip({{"other.bin", "x"}}))));
    EXPECT_TRUE(logged("[ERR] [_parase_file] cann't find file in " + data_.string() + "/\n"));
    EXPECT_TRUE(logged("[DBG] [_parase_file] _parase_file failed\n"));
    EXPECT_EQ(files_in(data_), (std::set<std::string>{"other.bin"}));
}

// With the camera unplugged the lens intrinsics still come from the open
// device (from any thread), and a calibration load fails cleanly and leaves
// the distance constants in place.
TEST_F(CalibUpload, UnpluggedCameraKeepsLensAndConstants) {
    cam_ = add_epc_camera(camera(CalibArchive::None));
    ASSERT_EQ(open_first(), &dev_);
    cam_.unplug();
    epc_lens_param here{}, there{};
    EXPECT_TRUE(epc_lens_param_get(drv(), &here, 160, 120));
    std::thread other([&] { EXPECT_TRUE(epc_lens_param_get(drv(), &there, 160, 120)); });
    other.join();
    EXPECT_DOUBLE_EQ(here.fx, there.fx);
    EXPECT_EQ(drv()->ops->calib_load(drv(), 0, 0, 2), -1);
    EXPECT_TRUE(logged("[ERR] [_load_calib_data]  set mode to DATA_UP failed!\n"));
    EXPECT_TRUE(files_in(data_).empty());
    expect_simple_distances();
}

// Two cameras with different chips share the data folder: each fetches and
// loads its own calibration, not the other's.
TEST_F(CalibUpload, CamerasSharingADataFolderGetTheirOwnCalibration) {
    const nxsim::CameraConfig a = camera(CalibArchive::Zip, 7);
    const nxsim::CameraConfig b = camera(CalibArchive::Zip, 9);
    const std::string images_a = factory_file(a, kImagesName);
    const std::string images_b = factory_file(b, "kpl_ex_images_drnu_W1042_C009_10.bin");
    ASSERT_NE(images_a, images_b);
    nxsim::reset();
    add_epc_camera(a);
    add_epc_camera(b);
    nivex_device list[2];
    ASSERT_EQ(nivex_dev_list(list, 2), 2);
    ASSERT_EQ(nivex_dev_open(&list[0]), &list[0]);
    ASSERT_EQ(nivex_dev_open(&list[1]), &list[1]);
    EXPECT_EQ(files_in(data_),
              (std::set<std::string>{kParamName, kImagesName, "kpl_ex_drnu_param_W1042_C009_10.bin",
                                     "kpl_ex_images_drnu_W1042_C009_10.bin"}));
    EXPECT_TRUE(nxtest::read_file((data_ / kImagesName).string()) == images_a);
    EXPECT_TRUE(nxtest::read_file((data_ / "kpl_ex_images_drnu_W1042_C009_10.bin").string()) ==
                images_b);
    for (nivex_device &d : list) {
        auto *s = nx::epc::state_of(nivex_dev_get_drv(&d));
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(nx::epc::drnu_calib(*s, nx::epc::current_constants(*s), kWidth, kHeight));
    }
    nivex_dev_close(&list[0]);
    nivex_dev_close(&list[1]);
}

}  // namespace
}  // namespace epctest
