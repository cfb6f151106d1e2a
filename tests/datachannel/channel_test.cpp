// The exported building blocks of the data channel, the progress callback,
// and the calls on devices that are not there.
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <mutex>
#include <tuple>

#include "api/data_channel.h"
#include "data_fixture.h"

namespace nxtest {
namespace {

using nxsim::WireRecord;

TEST(DataCrcTest, IsCrc16Xmodem) {
    const auto crc = [](const char *text) {
        return al_data_calc_crc(reinterpret_cast<const uint8_t *>(text),
                                static_cast<uint16_t>(std::strlen(text)));
    };
    EXPECT_EQ(crc("abc"), 0x9DD6);
    EXPECT_EQ(crc("123456789"), 0x31C3);
    EXPECT_EQ(crc(""), 0);
    EXPECT_EQ(al_data_calc_crc(nullptr, 5), 0);
    const uint8_t zeros[4] = {};
    EXPECT_EQ(al_data_calc_crc(zeros, 4), 0);  // initial value 0, no final XOR
}

using ChannelTest = DataTest;

TEST_F(ChannelTest, EmptyChunkAndUnknownActionsSendNothing) {
    ll_device *ll = dev_.handle;
    uint8_t header[6] = {};
    uint8_t data[8] = {};
    EXPECT_EQ(al_data_send_action_info(ll, 6, header, data), -1);  // length 0
    header[2] = 0xFB;                                              // 1019 bytes: more than a chunk
    header[3] = 0x03;
    EXPECT_EQ(al_data_send_action_info(ll, 6, header, data), -1);
    EXPECT_EQ(al_data_send_action_info(ll, 9, header, nullptr), -1);
    EXPECT_EQ(al_data_send_action_info(ll, 1, nullptr, nullptr), -1);
    EXPECT_EQ(al_data_read_action_info(ll, 9, data), 1);
    EXPECT_EQ(al_data_read_action_info(ll, 4, nullptr), -1);
    EXPECT_TRUE(commands().empty());
}

TEST_F(ChannelTest, ShortAckIsNineBytesEachWay) {
    uint8_t ack[9];
    std::memset(ack, 0xEE, sizeof ack);
    ASSERT_EQ(al_data_read_action_info(dev_.handle, 5, ack), 1);
    EXPECT_EQ(ack[4], 0);  // idle: nothing announced
    std::vector<WireRecord> sent = commands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].data, Bytes(9, 0));
    EXPECT_EQ(sent[1].length, 9);
    EXPECT_EQ(sent[1].value, 5);
}

TEST_F(ChannelTest, AckReadReportsWhichPhaseFailed) {
    uint8_t ack[13] = {};
    cam_.inject_error("busy flash", kDataCmd);
    EXPECT_EQ(al_data_read_action_info(dev_.handle, 4, ack), 0);
    EXPECT_TRUE(logged("[ERR] [al_data_read_action_info] Write phase failed\n"));
    EXPECT_EQ(commands().size(), 1u);  // no read phase after a failed write
}

TEST_F(ChannelTest, BuildFileBufferReportsOnlyCompleteReads) {
    uint32_t size = 77;
    EXPECT_EQ(al_data_build_file_buffer(dir_.file("missing").c_str(), &size), -1);
    EXPECT_EQ(al_data_build_file_buffer(nullptr, &size), -1);
    // An empty file is no image, whatever size_out held before.
    EXPECT_EQ(al_data_build_file_buffer(write_file("empty", {}).c_str(), &size), -1);
    EXPECT_EQ(size, 77u);
    EXPECT_TRUE(logged("[INF] [al_data_build_file_buffer] Data image file loading failed.\n"));
    Bytes image = image_bytes(1234);
    image[0] = 0xAB;
    EXPECT_EQ(al_data_build_file_buffer(write_file("image", image).c_str(), &size), 1);
    EXPECT_EQ(size, 1234u);
    EXPECT_TRUE(logged("[INF] [al_data_build_file_buffer] File read ok,1234,ab\n"));
    EXPECT_TRUE(logged("[INF] [al_data_build_file_buffer] Data image file loaded.\n"));
}

std::mutex g_progress_mutex;
std::vector<std::pair<uint32_t, uint32_t>> g_progress;  // guarded by g_progress_mutex

void on_progress(nivex_device *, uint32_t done, uint32_t total) {
    std::lock_guard lock(g_progress_mutex);
    g_progress.emplace_back(done, total);
}

std::vector<std::pair<uint32_t, uint32_t>> take_progress() {
    std::lock_guard lock(g_progress_mutex);
    return std::exchange(g_progress, {});
}

using Progress = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(ChannelTest, ProgressIsReportedPerChunkAndPiece) {
    take_progress();
    ASSERT_TRUE(nivex_data_set_callback_on_progress(&dev_, on_progress));
    std::string path = write_file("image.bin", image_bytes(2500));
    ASSERT_EQ(nivex_firmware_upgrade(&dev_, 5, 9, path.c_str()), 1);
    EXPECT_EQ(take_progress(), (Progress{{0, 2500}, {1018, 2500}, {2036, 2500}, {2500, 2500}}));
    cam_.set_data_block(image_bytes(900), 2);
    ASSERT_EQ(nivex_data_upload(&dev_, 0, dir_.file("out.bin").c_str()), 1);
    EXPECT_EQ(take_progress(), (Progress{{0, 900}, {450, 900}, {900, 900}}));

    ASSERT_TRUE(nivex_data_set_callback_on_progress(&dev_, nullptr));
    ASSERT_EQ(nivex_data_upload(&dev_, 0, dir_.file("out.bin").c_str()), 1);
    EXPECT_TRUE(take_progress().empty());

    // A callback belongs to its session.
    ASSERT_TRUE(nivex_data_set_callback_on_progress(&dev_, on_progress));
    nivex_dev_close(&dev_);
    ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    ASSERT_EQ(nivex_data_upload(&dev_, 0, dir_.file("out.bin").c_str()), 1);
    EXPECT_TRUE(take_progress().empty());
}

TEST_F(ChannelTest, CallsOnAnUnpluggedCameraFailFromAnyThread) {
    std::string path = write_file("image.bin", image_bytes(100));
    std::string out = dir_.file("out.bin");
    cam_.unplug();
    auto calls = std::async(std::launch::async, [&] {
        return std::tuple(nivex_firmware_upgrade(&dev_, 5, 9, path.c_str()),
                          nivex_data_upload(&dev_, 0, out.c_str()),
                          nivex_data_set_callback_on_progress(&dev_, on_progress));
    });
    auto [download, upload, set] = calls.get();
    EXPECT_EQ(download, -1);
    EXPECT_EQ(upload, -1);
    EXPECT_TRUE(set);  // kept for the session, which is still open
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] data upgrade failed!\n"));
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_read] Get data info failed\n"));
    EXPECT_FALSE(exists(out));
}

TEST_F(ChannelTest, CallsOnAClosedOrAbsentDeviceAreRefused) {
    std::string path = write_file("image.bin", image_bytes(100));
    nivex_dev_close(&dev_);
    cam_.clear_wire_log();
    EXPECT_EQ(nivex_firmware_upgrade(&dev_, 5, 9, path.c_str()), -1);
    EXPECT_TRUE(logged("[DBG] [nivex_firmware_upgrade] Wrong params\n"));
    EXPECT_EQ(nivex_data_download(nullptr, path.c_str(), 5, 9, 0), -1);
    EXPECT_TRUE(logged("[DBG] [nivex_data_download] Wrong params\n"));
    EXPECT_EQ(nivex_data_upload(&dev_, 0, dir_.file("out.bin").c_str()), -1);
    EXPECT_TRUE(logged("[DBG] [nivex_data_upload] Wrong params\n"));
    EXPECT_FALSE(nivex_data_set_callback_on_progress(nullptr, on_progress));
    EXPECT_FALSE(nivex_data_set_callback_on_progress(&dev_, on_progress));
    EXPECT_TRUE(cam_.wire_log().empty());
    EXPECT_FALSE(exists(dir_.file("out.bin")));
}

}  // namespace
}  // namespace nxtest
