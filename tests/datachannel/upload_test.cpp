// Data upload through the public API: byte-exact copies of the camera's
// stored block, and no file at all when the copy cannot be completed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "data_fixture.h"

namespace nxtest {
namespace {

using nxsim::WireRecord;

class UploadTest : public DataTest {
  protected:
    std::string out_ = dir_.file("block.bin");
};

class UploadSizeTest : public UploadTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(UploadSizeTest, CopiesTheStoredBlockByteForByte) {
    const uint32_t size = GetParam();
    const Bytes block = image_bytes(size, 7);
    cam_.set_data_block(block, 2);
    ASSERT_EQ(nivex_data_upload(&dev_, 3, out_.c_str()), 1);
    EXPECT_EQ(read_bytes(out_), block);
    EXPECT_TRUE(exists(out_));
    EXPECT_FALSE(exists(out_ + ".part"));
    EXPECT_TRUE(logged("[INF] [nivex_bin_data_read] Version:1,type:3, addr:0x"));
    EXPECT_TRUE(logged(",data size:" + std::to_string(size) + "\n"));

    // One 12-byte request per piece of at most 450 bytes: zero but for the length.
    std::vector<WireRecord> requests = data_requests(17);
    std::vector<WireRecord> pieces = data_requests(17, true);
    ASSERT_EQ(requests.size(), (size + 449) / 450);
    ASSERT_EQ(pieces.size(), requests.size());
    uint32_t left = size;
    for (size_t i = 0; i < requests.size(); ++i) {
        const uint32_t len = std::min(left, 450u);
        Bytes expected(12, 0);
        expected[4] = static_cast<uint8_t>(len);
        expected[5] = static_cast<uint8_t>(len >> 8);
        EXPECT_EQ(requests[i].data, expected) << i;
        EXPECT_EQ(pieces[i].length, len) << i;
        left -= len;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, UploadSizeTest,
                         ::testing::Values(0u, 1u, 449u, 450u, 451u, 900u, 901u, 100000u));

TEST_F(UploadTest, NoValidDataCreatesNoFile) {
    cam_.set_data_block(std::nullopt);
    EXPECT_EQ(nivex_data_upload(&dev_, 0, out_.c_str()), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_read] No valid data to read, please check\n"));
    EXPECT_TRUE(logged(",data size:-1\n"));
    EXPECT_FALSE(exists(out_));
    EXPECT_TRUE(data_requests(17).empty());
}

TEST_F(UploadTest, FailedPieceStopsTheCopyAndLeavesNoFile) {
    cam_.set_data_block(image_bytes(2000), 2);
    cam_.fail_payload_read(3);
    EXPECT_EQ(nivex_data_upload(&dev_, 0, out_.c_str()), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_read] Read data failed at byte 900 of 2000\n"));
    EXPECT_TRUE(logged("[ERR] [usb_ll_check_last_cmd] payload at 900: flash read error\n"));
    EXPECT_FALSE(exists(out_));
    EXPECT_FALSE(exists(out_ + ".part"));
    // Nothing after the failed read.
    std::vector<WireRecord> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().value, 17);
    EXPECT_TRUE(sent.back().is_in());
    EXPECT_EQ(data_requests(17, true).size(), 3u);
}

TEST_F(UploadTest, FailedCopyLeavesAnEarlierFileAsItWas) {
    const Bytes old = {'o', 'l', 'd'};
    write_file("block.bin", old);
    cam_.set_data_block(image_bytes(1000), 2);
    cam_.fail_payload_read(2);
    EXPECT_EQ(nivex_data_upload(&dev_, 0, out_.c_str()), -1);
    EXPECT_EQ(read_bytes(out_), old);
    cam_.set_data_block(std::nullopt);
    EXPECT_EQ(nivex_data_upload(&dev_, 0, out_.c_str()), -1);
    EXPECT_EQ(read_bytes(out_), old);
}

TEST_F(UploadTest, FailedInfoReadLeavesTheFileUntouched) {
    const Bytes old = {'o', 'l', 'd'};
    write_file("block.bin", old);
    cam_.inject_error("flash busy", kDataCmd);
    EXPECT_EQ(nivex_data_upload(&dev_, 0, out_.c_str()), -1);
    EXPECT_TRUE(logged("[ERR] [al_get_data_info] write phase failed\n"));
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_read] Get data info failed\n"));
    EXPECT_EQ(read_bytes(out_), old);
    EXPECT_TRUE(data_requests(17).empty());
}

TEST_F(UploadTest, WithoutANameWritesCalibBinInTheWorkingFolder) {
    std::filesystem::create_directory(dir_.path() / "data");
    ASSERT_EQ(nivex_path_cfg(dir_.file("data/").c_str()), 0);
    ASSERT_EQ(nivex_data_upload(&dev_, 0, nullptr), 1);
    EXPECT_EQ(read_bytes(dir_.file("calib.bin")), cam_.data_block());
    EXPECT_FALSE(exists(dir_.file("data/calib.bin")));
}

TEST_F(UploadTest, UncreatableFileFailsBeforeAnyPieceIsRead) {
    EXPECT_EQ(nivex_data_upload(&dev_, 0, dir_.file("no/such/folder.bin").c_str()), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_read] File open failed\n"));
    EXPECT_TRUE(data_requests(17).empty());
}

// Files may grow to `bytes`; a write beyond fails instead of ending the process.
void limit_file_size(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
}

TEST_F(UploadTest, FailedFileWriteIsReportedAndLeavesNoFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    cam_.set_data_block(image_bytes(100000), 2);
    EXPECT_EXIT(
        {
            nivex_log_cfg(NX_LOG_OFF, NX_LOG_OFF, NX_LOG_OFF);  // the log file is limited too
            limit_file_size(65536);
            const int result = nivex_data_upload(&dev_, 0, out_.c_str());
            std::_Exit(result == -1 && !exists(out_) && !exists(out_ + ".part") ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(UploadTest, DownloadThenUploadReturnsTheSameBytes) {
    const Bytes image = image_bytes(5000, 9);
    std::string path = write_file("image.bin", image);
    ASSERT_EQ(nivex_data_download(&dev_, path.c_str(), 2, 9, 0), 1);
    ASSERT_EQ(nivex_data_upload(&dev_, 2, out_.c_str()), 1);
    EXPECT_EQ(read_bytes(out_), image);
    EXPECT_TRUE(logged("[INF] [nivex_bin_data_read] Version:9,type:2,"));
}

}  // namespace
}  // namespace nxtest
