// Firmware and data download through the public API, checked on the wire and
// against what the simulated camera stored.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "api/data_channel.h"
#include "data_fixture.h"
#include "ll/ll_ops.h"

namespace nxtest {
namespace {

using namespace std::chrono_literals;
using nxsim::DataFault;
using nxsim::WireRecord;

uint32_t le32(const Bytes &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t le16(const Bytes &b, size_t at) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class DownloadTest : public DataTest {
  protected:
    int download(const Bytes &image, uint32_t type = 5, uint32_t version = 9) {
        std::string path = write_file("image.bin", image);
        return nivex_firmware_upgrade(&dev_, type, version, path.c_str());
    }
};

// Chunk record: CRC, length, the image bytes at `offset`.
void expect_chunk(const WireRecord &chunk, const Bytes &image, size_t offset, uint32_t len) {
    ASSERT_EQ(chunk.data.size(), 6u + len);
    EXPECT_EQ(le32(chunk.data, 2), len);
    EXPECT_TRUE(std::equal(chunk.data.begin() + 6, chunk.data.end(), image.begin() + offset));
    EXPECT_EQ(le16(chunk.data, 0), al_data_calc_crc(image.data() + offset, len));
}

struct Chunking {
    size_t size;
    std::vector<uint32_t> chunks;
};

class ChunkingTest : public DownloadTest, public ::testing::WithParamInterface<Chunking> {};

TEST_P(ChunkingTest, ImageGoesInChunksOf1018Bytes) {
    const Bytes image = image_bytes(GetParam().size);
    ASSERT_EQ(download(image), 1);
    std::vector<WireRecord> chunks = data_requests(6);
    ASSERT_EQ(chunks.size(), GetParam().chunks.size());
    size_t offset = 0;
    for (size_t k = 0; k < chunks.size(); ++k) {
        expect_chunk(chunks[k], image, offset, GetParam().chunks[k]);
        offset += GetParam().chunks[k];
    }
    EXPECT_EQ(cam_.stored_image(5), image);  // the camera checked every CRC and length
    EXPECT_EQ(cam_.counters().data_chunks_refused, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkingTest,
                         ::testing::Values(Chunking{1, {1}}, Chunking{1018, {1018}},
                                           Chunking{1019, {1018, 1}}, Chunking{2036, {1018, 1018}},
                                           Chunking{3000, {1018, 1018, 964}}));

TEST_F(DownloadTest, WireCarriesEveryRecordFollowedByItsStatus) {
    const Bytes image = image_bytes(1019);
    ASSERT_EQ(download(image, 0x105, 0x10203), 1);  // type 5, version 0x0203
    std::vector<WireRecord> wire = cam_.wire_log();
    std::vector<WireRecord> sent;
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i].request == kStatusCmd) continue;
        ASSERT_LT(i + 1, wire.size());
        EXPECT_EQ(wire[i + 1].request, kStatusCmd) << "no status query after request " << i;
        sent.push_back(wire[i]);
    }
    // info, announce and ack, erase, two polls and the ready ack, two chunks with their acks
    const std::vector<std::pair<uint16_t, bool>> expected = {
        {0, false}, {0, true},  {1, false}, {4, false}, {4, true},  {7, false},
        {4, false}, {4, true},  {4, false}, {4, true},  {4, false}, {4, true},
        {6, false}, {4, false}, {4, true},  {6, false}, {4, false}, {4, true}};
    ASSERT_EQ(sent.size(), expected.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].request, kDataCmd) << i;
        EXPECT_EQ(sent[i].value, expected[i].first) << i;
        EXPECT_EQ(sent[i].is_in(), expected[i].second) << i;
        EXPECT_EQ(sent[i].request_type, expected[i].second ? 0xA2 : 0x22) << i;
        EXPECT_EQ(sent[i].index, 0) << i;
    }
    EXPECT_EQ(sent[0].data, Bytes(16, 0));
    EXPECT_EQ(sent[2].data, (Bytes{5, 0, 0x03, 0x02, 0xFB, 0x03, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(sent[3].data, Bytes(13, 0));
    EXPECT_EQ(sent[5].data, (Bytes{5, 0xFB, 0x03, 0, 0, 0xFA, 0x03, 0, 0, 0, 0, 0, 0}));
    expect_chunk(sent[12], image, 0, 1018);
    expect_chunk(sent[15], image, 1018, 1);
    // The camera's acks: announce accepted, erasing twice, ready, then next 1 and 2.
    const std::vector<std::pair<uint32_t, uint8_t>> acks = {{0, 3}, {0, 4}, {0, 4},
                                                            {0, 1}, {1, 1}, {2, 1}};
    std::vector<WireRecord> replies = data_requests(4, true);
    ASSERT_EQ(replies.size(), acks.size());
    for (size_t i = 0; i < acks.size(); ++i) {
        ASSERT_EQ(replies[i].data.size(), 13u);
        EXPECT_EQ(le32(replies[i].data, 0), acks[i].first) << i;
        EXPECT_EQ(replies[i].data[4], acks[i].second) << i;
    }
    EXPECT_TRUE(logged("[INF] [al_data_send_action_info] type = 5, version = 515, size = 1019\n"));
    EXPECT_TRUE(logged("[INF] [nivex_bin_data_write] Data transfer finished.\n"));
}

TEST_F(DownloadTest, KeepsPollingWhileTheFlashIsErased) {
    cam_.set_erase_polls(7);
    ASSERT_EQ(download(image_bytes(100)), 1);
    EXPECT_EQ(cam_.counters().erase_polls, 7u);
    std::vector<WireRecord> acks = data_requests(4, true);
    ASSERT_EQ(acks.size(), 1u + 8u + 1u);
    for (size_t i = 1; i <= 7; ++i)
        EXPECT_EQ(acks[i].data[4], 4) << i;
    EXPECT_EQ(acks[8].data[4], 1);
    EXPECT_EQ(data_requests(6).size(), 1u);
}

TEST_F(DownloadTest, EndlessEraseIsGivenUpAtTheLimit) {
    cam_.set_erase_polls(UINT32_MAX);
    nx::data::Timing timing = nx::data::timing();
    timing.erase_limit = 150ms;
    timing.erase_poll_pause = 5ms;
    nx::data::set_timing(timing);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(download(image_bytes(100)), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] flash erase not finished after 150 ms\n"));
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] DATA ACK failed\n"));
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] data upgrade failed!\n"));
    EXPECT_GT(cam_.counters().erase_polls, 1u);
    EXPECT_TRUE(data_requests(6).empty());
}

TEST_F(DownloadTest, VersionNotNewerThanTheCamerasIsRefusedBeforeTheAnnounce) {
    cam_.set_data_version(7);
    EXPECT_EQ(download(image_bytes(100), 5, 7), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] Wrong version(Target:7,Now:7)\n"));
    EXPECT_EQ(download(image_bytes(100), 5, 6), -1);
    // Target is the version asked for, Now the camera's.
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] Wrong version(Target:6,Now:7)\n"));
    std::vector<WireRecord> sent = commands();
    EXPECT_EQ(sent.size(), 4u);  // two data-info reads of two phases each
    for (const WireRecord &r : sent)
        EXPECT_EQ(r.value, 0);
    EXPECT_EQ(download(image_bytes(100), 5, 0x10008), 1);  // version 8: newer
}

struct FailPoint {
    const char *name;
    DataFault fault;
    const char *message;  // besides "data upgrade failed!"
    uint16_t last_sub;    // the last request on the wire
    bool last_in;
    size_t chunks_sent;
};

class FailPointTest : public DownloadTest, public ::testing::WithParamInterface<FailPoint> {};

TEST_P(FailPointTest, EndsTheDownloadAndSendsNothingFurther) {
    const FailPoint &p = GetParam();
    cam_.inject_data_fault(p.fault);
    EXPECT_EQ(download(image_bytes(3000), 1), -1);
    EXPECT_TRUE(logged(p.message)) << p.message;
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] data upgrade failed!\n"));
    EXPECT_EQ(cam_.faults().data_faults, 1u);
    std::vector<WireRecord> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().request, kDataCmd);
    EXPECT_EQ(sent.back().value, p.last_sub);
    EXPECT_EQ(sent.back().is_in(), p.last_in);
    EXPECT_EQ(data_requests(6).size(), p.chunks_sent);
    EXPECT_TRUE(waits().empty());  // no restart, no wait
    EXPECT_FALSE(cam_.stored_image(1).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FailPointTest,
    ::testing::Values(
        FailPoint{"announce", {DataFault::Point::Announce, 0}, "announce refused", 1, false, 0},
        FailPoint{"erase", {DataFault::Point::Erase, 0}, "erase refused", 7, false, 0},
        FailPoint{"chunk", {DataFault::Point::Chunk, 1}, "Data transfer failed D.\n", 6, false, 2},
        FailPoint{"ack", {DataFault::Point::Ack, 1}, "Data transfer failed C.\n", 4, true, 2},
        FailPoint{
            "lost", {DataFault::Point::Lose, 1}, "Data transfer failed A.indx1, 1\n", 4, true, 2},
        FailPoint{"skip", {DataFault::Point::Skip, 0}, "Data transfer failed B.\n", 4, true, 1}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(DownloadTest, TypesAboveThreeReturnAtOnce) {
    ASSERT_EQ(download(image_bytes(500), 5), 1);
    ASSERT_EQ(download(image_bytes(500), 200, 10), 1);
    EXPECT_TRUE(waits().empty());
    for (const WireRecord &r : commands())
        EXPECT_EQ(r.request, kDataCmd);
    EXPECT_FALSE(logged("DO NOT RESET"));
}

TEST_F(DownloadTest, TypesTwoAndThreeLetTheCameraSettle) {
    ASSERT_EQ(download(image_bytes(500), 2, 9), 1);
    ASSERT_EQ(download(image_bytes(600), 3, 10), 1);
    EXPECT_EQ(waits(), (std::vector<std::chrono::milliseconds>{7000ms, 7000ms}));
    for (const WireRecord &r : commands())
        EXPECT_EQ(r.request, kDataCmd);
    EXPECT_TRUE(
        logged("[WRN] [nivex_bin_data_write] !!! DO NOT RESET or POWER OFF the board until return "
               "!!!!\n"));
    EXPECT_EQ(cam_.stored_image(3), image_bytes(600));
}

class RestartTest : public DownloadTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RestartTest, TypesZeroAndOneRestartTheBoardWhichComesBackAsANewDevice) {
    const uint8_t old_address = cam_.address();
    const Bytes image = image_bytes(2500, 3);
    ASSERT_EQ(download(image, GetParam()), 1);
    EXPECT_EQ(cam_.stored_image(static_cast<uint8_t>(GetParam())), image);
    std::vector<WireRecord> sent = commands();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().request, 0xC0);  // board restart, target 0
    EXPECT_EQ(sent.back().value, 0);
    EXPECT_EQ(sent.back().data, Bytes(4, 0));
    EXPECT_EQ(waits(), std::vector<std::chrono::milliseconds>{20000ms});
    EXPECT_TRUE(logged("[WRN] [nivex_bin_data_write]  * Wait board to reset...\n"));

    ASSERT_TRUE(wait_until([&] { return cam_.attached(); }));
    EXPECT_NE(cam_.address(), old_address);
    EXPECT_EQ(cam_.counters().enumerations, 2u);
    nivex_dev_close(&dev_);
    ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    nivex_param_entry fps{};
    fps.param_id = NIVEX_PARAM_FRAME_RATE;
    EXPECT_TRUE(nivex_param_batch_get(&dev_, &fps, 1));
}

INSTANTIATE_TEST_SUITE_P(Types, RestartTest, ::testing::Values(0u, 1u));

TEST_F(DownloadTest, LocalFailuresSendNothing) {
    EXPECT_EQ(nivex_firmware_upgrade(&dev_, 5, 9, dir_.file("missing.bin").c_str()), -1);
    EXPECT_TRUE(logged("[INF] [nivex_bin_data_write] File open failed\n"));
    EXPECT_EQ(nivex_firmware_upgrade(&dev_, 5, 9, dir_.path().c_str()), -1);  // a folder
    EXPECT_EQ(nivex_firmware_upgrade(&dev_, 5, 9, nullptr), -1);
    EXPECT_EQ(download(Bytes{}), -1);
    EXPECT_TRUE(logged("[INF] [nivex_bin_data_write] File size:0\n"));
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] data upgrade failed!\n"));
    EXPECT_TRUE(commands().empty());
}

TEST_F(DownloadTest, ImageBeyondTheSizeFieldIsRefusedBeforeAnythingIsSent) {
    std::string path = write_file("huge.bin", {});
    std::filesystem::resize_file(path, uint64_t{1} << 32);  // sparse: no disk used
    EXPECT_EQ(nivex_data_download(&dev_, path.c_str(), 5, 9, 0), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] File too large: 4294967296 bytes"));
    EXPECT_TRUE(commands().empty());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Limits the process's address space to what it uses now plus `headroom`.
void limit_address_space(uint64_t headroom) {
    unsigned long pages = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
        std::fclose(statm);
    }
    const rlim_t limit = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + headroom;
    rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
}

TEST_F(DownloadTest, ImageThatDoesNotFitInMemoryFailsAtOnce) {
    if (kSanitized) GTEST_SKIP() << "sanitizer runtimes need the address space";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string path = write_file("big.bin", {});
    std::filesystem::resize_file(path, uint64_t{1} << 30);
    EXPECT_EXIT(
        {
            limit_address_space(uint64_t{256} << 20);
            const int result = nivex_firmware_upgrade(&dev_, 5, 9, path.c_str());
            const bool ok = result == -1 && commands().empty() &&
                            logged("[ERR] [nivex_bin_data_write] no memory for the image");
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DownloadTest, RefusedWhileCapturing) {
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    cam_.clear_wire_log();
    EXPECT_EQ(download(image_bytes(100)), -1);
    EXPECT_EQ(nivex_data_upload(&dev_, 0, dir_.file("out.bin").c_str()), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_firmware_upgrade] capture is running"));
    EXPECT_TRUE(logged("[ERR] [nivex_data_upload] capture is running"));
    EXPECT_TRUE(data_requests(0).empty());
    EXPECT_FALSE(exists(dir_.file("out.bin")));
    EXPECT_TRUE(nivex_cap_is_ongoing(&dev_));
    ASSERT_TRUE(nivex_cap_stop(&dev_));
    EXPECT_EQ(download(image_bytes(100)), 1);
}

TEST_F(DownloadTest, CloseDuringTheEraseEndsTheDownload) {
    cam_.set_erase_polls(UINT32_MAX);
    std::string path = write_file("image.bin", image_bytes(100));
    auto result = std::async(std::launch::async,
                             [&] { return nivex_firmware_upgrade(&dev_, 5, 9, path.c_str()); });
    ASSERT_TRUE(wait_until([&] { return cam_.counters().erase_polls >= 3; }));
    nivex_dev_close(&dev_);
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), -1);
    EXPECT_TRUE(logged("[ERR] [nivex_bin_data_write] device closed, transfer stopped\n"));
}

TEST_F(DownloadTest, CloseEndsTheClosingWaitEarly) {
    nx::data::Timing timing = nx::data::timing();
    timing.wait = nullptr;      // really wait
    timing.settle_wait = 120s;  // far beyond what a loaded machine adds
    nx::data::set_timing(timing);
    std::string path = write_file("image.bin", image_bytes(100));
    auto result = std::async(std::launch::async,
                             [&] { return nivex_firmware_upgrade(&dev_, 2, 9, path.c_str()); });
    // The closing wait leaves the device free.
    ASSERT_TRUE(wait_until(
        [&] { return logged("DO NOT RESET") && std::atomic_ref(dev_.api_busy).load() == 0; }));
    nivex_dev_close(&dev_);
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);  // the image is in; only the wait was cut short
}

TEST_F(DownloadTest, TransportEntryNarrowsTypeAndVersion) {
    std::string path = write_file("image.bin", image_bytes(100));
    EXPECT_EQ(nivex_ll_firmware_upgrade(nullptr, 5, 9, path.c_str()), -1);
    ll_device never_opened{};
    EXPECT_EQ(nivex_ll_firmware_upgrade(&never_opened, 5, 9, path.c_str()), -1);
    EXPECT_TRUE(commands().empty());
    EXPECT_EQ(nivex_ll_firmware_upgrade(dev_.handle, 0x105, 0x10002, path.c_str()), 1);
    std::vector<WireRecord> announce = data_requests(1);
    ASSERT_EQ(announce.size(), 1u);
    EXPECT_EQ(announce[0].data[0], 5);
    EXPECT_EQ(le16(announce[0].data, 2), 2);
    EXPECT_EQ(cam_.stored_image(5), image_bytes(100));
}

}  // namespace
}  // namespace nxtest
