// The camera's data channel as a host sees it on the wire: the download
// state machine, its checks of every chunk, payload reads, and the restart
// that boots new firmware.
#include <gtest/gtest.h>

#include <string>

#include "usb_client.h"

namespace simtest {
namespace {

constexpr uint8_t kData = 0xCC;

// CRC-16/XMODEM, written out independently of the camera's and the library's.
uint16_t xmodem(const Bytes &bytes) {
    uint32_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= static_cast<uint32_t>(byte) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<uint16_t>(crc);
}

class SimDataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        nxsim::reset();
        nxsim::CameraConfig config;
        config.erase_polls = 1;
        cam_ = nxsim::add_camera(config);
        session_ = std::make_unique<Session>(cam_);
        ASSERT_TRUE(session_->ok());
        h_ = session_->handle();
    }
    void TearDown() override {
        session_.reset();
        nxsim::reset();
    }

    // The status byte after a request, or -1 when the request itself failed.
    int out(uint8_t sub, Bytes data) {
        if (send(h_, kData, sub, std::move(data)) < 0) return -1;
        return status(h_).at(0);
    }
    std::string message() {
        Bytes reply = status(h_);
        return std::string(reinterpret_cast<const char *>(reply.data() + 3));
    }
    // (next, status) of an ack exchange.
    std::pair<uint32_t, uint8_t> ack() {
        EXPECT_EQ(out(4, Bytes(13)), 0);
        Bytes reply(13);
        EXPECT_EQ(receive(h_, kData, 4, reply), 13);
        EXPECT_EQ(status(h_).at(0), 0);
        return {le32(reply.data()), reply[4]};
    }
    Bytes info() {
        EXPECT_EQ(out(0, Bytes(16)), 0);
        Bytes record(16);
        EXPECT_EQ(receive(h_, kData, 0, record), 16);
        return record;
    }
    static Bytes announce_record(uint8_t type, uint16_t version, uint32_t size) {
        Bytes r{type, 0, static_cast<uint8_t>(version), static_cast<uint8_t>(version >> 8)};
        put_le32(r, size);
        put_le32(r, 0);
        return r;
    }
    static Bytes erase_record(uint8_t type, uint32_t size) {
        Bytes r{type};
        put_le32(r, size);
        put_le32(r, 1018);
        put_le32(r, 0);
        return r;
    }
    static Bytes chunk_record(const Bytes &payload, uint16_t crc, uint32_t len) {
        Bytes r{static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
        put_le32(r, len);
        r.insert(r.end(), payload.begin(), payload.end());
        return r;
    }
    // Announces and erases an image, up to the camera's "ready".
    void start(uint8_t type, uint32_t size) {
        ASSERT_EQ(out(1, announce_record(type, 9, size)), 0);
        EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 3}));
        ASSERT_EQ(out(7, erase_record(type, size)), 0);
        EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 4}));
        EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 1}));
    }

    nxsim::Camera cam_;
    std::unique_ptr<Session> session_;
    libusb_device_handle *h_ = nullptr;
};

TEST_F(SimDataTest, ChunksWithABadCrcOrLengthAreRefused) {
    Bytes image(1500);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7);
    start(6, 1500);
    Bytes first(image.begin(), image.begin() + 1018);
    Bytes rest(image.begin() + 1018, image.end());
    EXPECT_EQ(out(6, chunk_record(first, xmodem(first) ^ 1, 1018)), 0xFF);
    EXPECT_NE(message().find("chunk 0: CRC"), std::string::npos);
    EXPECT_EQ(out(6, chunk_record(rest, xmodem(rest), 482)), 0xFF);  // chunk 1 before chunk 0
    EXPECT_NE(message().find("length 482"), std::string::npos);
    EXPECT_EQ(out(6, chunk_record(first, xmodem(first), 1017)), 0xFF);  // length field wrong
    EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 1}));
    EXPECT_EQ(cam_.counters().data_chunks_refused, 3u);

    EXPECT_EQ(out(6, chunk_record(first, xmodem(first), 1018)), 0);
    EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{1, 1}));
    EXPECT_FALSE(cam_.stored_image(6).has_value());  // erased, not complete yet
    EXPECT_EQ(out(6, chunk_record(rest, xmodem(rest), 482)), 0);
    EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{2, 1}));
    EXPECT_EQ(cam_.stored_image(6), image);
    EXPECT_EQ(out(6, chunk_record(rest, xmodem(rest), 482)), 0xFF);  // all taken
    EXPECT_EQ(cam_.counters().downloads, 1u);

    Bytes record = info();  // the new image is the current one
    EXPECT_EQ(record[0], 6);
    EXPECT_EQ(record[2], 9);
    EXPECT_EQ(le32(&record[4]), 1500u);
}

TEST_F(SimDataTest, StepsOutOfOrderAreRefused) {
    EXPECT_EQ(out(7, erase_record(2, 100)), 0xFF);  // nothing announced
    EXPECT_EQ(out(6, chunk_record(Bytes(10), 0, 10)), 0xFF);
    EXPECT_EQ(out(1, announce_record(2, 9, 0)), 0xFF);  // empty image
    ASSERT_EQ(out(1, announce_record(2, 9, 100)), 0);
    EXPECT_EQ(out(7, erase_record(2, 101)), 0xFF);            // not what was announced
    EXPECT_EQ(out(6, chunk_record(Bytes(10), 0, 10)), 0xFF);  // not erased yet
    Bytes reply(13);
    EXPECT_EQ(receive(h_, kData, 4, reply), 13);  // a read without its request
    EXPECT_EQ(status(h_).at(0), 0xFF);
    EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 3}));
    EXPECT_EQ(out(9, Bytes(4)), 0xFF);
    EXPECT_EQ(cam_.data_block(), nxsim::data_block_pattern(4096));  // untouched
}

TEST_F(SimDataTest, PayloadReadsWalkTheStoredBlock) {
    Bytes record = info();
    EXPECT_EQ(record[0], 2);
    EXPECT_EQ(record[2] | record[3] << 8, 1);
    EXPECT_EQ(le32(&record[4]), 4096u);
    const Bytes block = nxsim::data_block_pattern(4096);
    Bytes request(12);
    request[4] = 0x00;
    request[5] = 0x10;  // 4096 bytes at once
    ASSERT_EQ(out(17, request), 0);
    Bytes all(4096);
    EXPECT_EQ(receive(h_, kData, 17, all), 4096);
    EXPECT_EQ(all, block);
    ASSERT_EQ(out(17, request), 0xFF);  // nothing left
    info();                             // starts over
    request[5] = 0;
    request[4] = 10;
    ASSERT_EQ(out(17, request), 0);
    Bytes piece(10);
    EXPECT_EQ(receive(h_, kData, 17, piece), 10);
    EXPECT_EQ(piece, Bytes(block.begin(), block.begin() + 10));

    cam_.set_data_block(std::nullopt);
    EXPECT_EQ(le32(&info()[4]), 0xFFFFFFFFu);
    EXPECT_EQ(out(17, request), 0xFF);
}

TEST_F(SimDataTest, FirmwareBootsAtTheNextBoardRestart) {
    start(0, 5);
    Bytes image = {1, 2, 3, 4, 5};
    ASSERT_EQ(out(6, chunk_record(image, xmodem(image), 5)), 0);
    Bytes target(4, 0);
    ASSERT_GE(send(h_, 0xC0, 0, target), 0);
    Bytes reply = status(h_);  // answered, then the camera leaves the bus
    ASSERT_EQ(reply.size(), 63u);
    EXPECT_EQ(reply[0], 0);
    EXPECT_FALSE(cam_.attached());
    ASSERT_TRUE(wait_for([&] { return cam_.attached(); }));
    EXPECT_EQ(cam_.counters().enumerations, 2u);
    EXPECT_EQ(cam_.stored_image(0), image);
}

TEST_F(SimDataTest, FaultsStrikeOnceAtTheirPoint) {
    cam_.inject_data_fault({nxsim::DataFault::Point::Announce, 0});
    EXPECT_EQ(out(1, announce_record(3, 9, 20)), 0xFF);
    EXPECT_EQ(message(), "announce refused");
    Bytes image(20, 0x5A);
    cam_.fail_payload_read(1);
    start(3, 20);
    ASSERT_EQ(out(6, chunk_record(image, xmodem(image), 20)), 0);
    Bytes request(12);
    request[4] = 20;
    ASSERT_EQ(out(17, request), 0);
    Bytes piece(20);
    EXPECT_EQ(receive(h_, kData, 17, piece), 20);
    EXPECT_EQ(status(h_).at(0), 0xFF);
    EXPECT_EQ(cam_.faults().data_faults, 2u);
}

TEST_F(SimDataTest, ConfiguredByTheSimText) {
    session_.reset();
    nxsim::reset();
    ASSERT_EQ(nxsim::configure("cameras=2,dl_version=7,dl_erase_polls=0,ul_size=900,ul_fail=1,"
                               "cam0.dl_fail=chunk:1,cam1.ul_size=none"),
              "");
    std::vector<nxsim::Camera> cams = nxsim::cameras();
    ASSERT_EQ(cams.size(), 2u);
    EXPECT_FALSE(cams[1].data_block().has_value());
    cam_ = cams[0];
    session_ = std::make_unique<Session>(cam_);
    ASSERT_TRUE(session_->ok());
    h_ = session_->handle();

    Bytes record = info();
    EXPECT_EQ(record[2], 7);
    EXPECT_EQ(le32(&record[4]), 900u);
    EXPECT_EQ(cam_.data_block(), nxsim::data_block_pattern(900));
    Bytes request(12);
    request[4] = 10;
    ASSERT_EQ(out(17, request), 0);
    Bytes piece(10);
    receive(h_, kData, 17, piece);
    EXPECT_EQ(status(h_).at(0), 0xFF);  // ul_fail=1

    ASSERT_EQ(out(1, announce_record(2, 9, 2036)), 0);
    EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 3}));
    ASSERT_EQ(out(7, erase_record(2, 2036)), 0);
    EXPECT_EQ(ack(), (std::pair<uint32_t, uint8_t>{0, 1}));  // dl_erase_polls=0
    Bytes chunk(1018, 1);
    EXPECT_EQ(out(6, chunk_record(chunk, xmodem(chunk), 1018)), 0);
    EXPECT_EQ(out(6, chunk_record(chunk, xmodem(chunk), 1018)), 0xFF);
    EXPECT_EQ(message(), "chunk 1 refused");
}

}  // namespace
}  // namespace simtest
