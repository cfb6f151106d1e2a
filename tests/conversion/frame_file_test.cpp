// Frame files: layout byte for byte, headers at position 0 only, whole
// frames, round trips of every sample type, and the loader against files it
// must refuse (hostile headers, short files, descriptors it cannot seek).
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "conversion/conversion_fixture.h"

namespace nxtest {
namespace {

class FrameFileTest : public SimTest {
  protected:
    void TearDown() override {
        for (int fd : fds_)
            close(fd);
        SimTest::TearDown();
    }
    int open_new(const std::string &name) {
        return track(open(dir_.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644));
    }
    int open_existing(const std::string &name, int flags = O_RDONLY) {
        return track(open(dir_.file(name).c_str(), flags));
    }
    int with_content(const std::string &name, const std::string &bytes) {
        const int fd = open_new(name);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        lseek(fd, 0, SEEK_SET);
        return fd;
    }
    int track(int fd) {
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }
    std::string content(const std::string &name) const { return read_file(dir_.file(name)); }

    std::vector<int> fds_;
};

std::string u16le(std::initializer_list<uint16_t> values) {
    std::string s;
    for (uint16_t v : values) {
        s.push_back(static_cast<char>(v & 0xFF));
        s.push_back(static_cast<char>(v >> 8));
    }
    return s;
}

TEST_F(FrameFileTest, WholeFramesAreSavedAndAppendedWithoutASecondHeader) {
    const int fd = open_new("d.nx");
    std::vector<float> seq(14);  // three and a half 2x2 frames
    for (size_t i = 0; i < seq.size(); ++i)
        seq[i] = 0.25f * static_cast<float>(i);
    ASSERT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_F32, seq.data(), 14, 2, 2), 1);
    const std::string header = "NX_DIST,F32,2,2\n";
    EXPECT_EQ(content("d.nx").size(), header.size() + 3 * 4 * 4);
    ASSERT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_F32, seq.data(), 14, 2, 2), 1);
    const std::string file = content("d.nx");
    ASSERT_EQ(file.size(), header.size() + 6 * 4 * 4);
    EXPECT_EQ(file.substr(0, header.size()), header);
    EXPECT_EQ(file.find("NX_DIST", 1), std::string::npos);

    const int in = open_existing("d.nx");
    float frame[4];
    int w = 0, h = 0;
    for (int n = 0; n < 6; ++n) {
        ASSERT_EQ(nivex_frame_load_distance(in, frame, 4, &w, &h), 4) << n;
        EXPECT_EQ(w, 2);
        EXPECT_EQ(h, 2);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(frame[i], seq[static_cast<size_t>((n % 3) * 4 + i)]);
    }
    EXPECT_EQ(nivex_frame_load_distance(in, frame, 4, nullptr, nullptr), 0);
    EXPECT_TRUE(logged("[nivex_frame_load_distance] read 16 date failed: ret= 0"));
}

TEST_F(FrameFileTest, IntegerDistancesAreMillimetresTruncated) {
    const float image[4] = {65.3f, 1.2345f, 65.5f, -0.001f};
    const int fd = open_new("u16.nx");
    ASSERT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_U16, image, 4, 2, 2), 1);
    EXPECT_EQ(content("u16.nx"), "NX_DIST,U16,2,2\n" + u16le({65300, 1234, 65500, 65535}));
    const int fd32 = open_new("u32.nx");
    ASSERT_EQ(nivex_frame_save_distance(fd32, NIVEX_FRAME_SAVE_U32, image, 4, 2, 2), 1);

    float back[4];
    ASSERT_EQ(nivex_frame_load_distance(open_existing("u16.nx"), back, 4, nullptr, nullptr), 4);
    EXPECT_EQ(back[0], 65.3f);
    EXPECT_EQ(back[1], 1.234f);
    EXPECT_EQ(back[2], 65.5f);
    ASSERT_EQ(nivex_frame_load_distance(open_existing("u32.nx"), back, 4, nullptr, nullptr), 4);
    EXPECT_EQ(back[0], 65.3f);
    EXPECT_EQ(back[1], 1.234f);
    EXPECT_EQ(back[3], 4294967.295f);  // -1 mm stored as its low 32 bits
}

TEST_F(FrameFileTest, GrayFilesHoldOneFrameAndTheLowBits) {
    const float image[5] = {0.0f, 255.9f, 256.0f, 300.0f, 7.0f};
    const int fd = open_new("g8.nx");
    ASSERT_EQ(nivex_frame_save_gray(fd, NIVEX_FRAME_SAVE_U8, image, 5, 2, 2), 1);
    const std::string u8 = content("g8.nx");
    ASSERT_EQ(u8.size(), 19u);
    EXPECT_EQ(u8, std::string("NX_GRAY,U8,2,2\n") + '\0' + '\xFF' + '\0' + '\x2C');
    const int fd16 = open_new("g16.nx");
    ASSERT_EQ(nivex_frame_save_gray(fd16, NIVEX_FRAME_SAVE_U16, image, 4, 2, 2), 1);
    ASSERT_EQ(nivex_frame_save_gray(fd16, NIVEX_FRAME_SAVE_U16, image + 1, 4, 2, 2), 1);
    EXPECT_EQ(content("g16.nx"), "NX_GRAY,U16,2,2\n" + u16le({0, 255, 256, 300, 255, 256, 300, 7}));

    float back[4];
    int w = 0, h = 0;
    const int in = open_existing("g16.nx");
    ASSERT_EQ(nivex_frame_load_gray(in, back, 4, &w, &h), 4);
    EXPECT_EQ(std::vector<float>(back, back + 4), (std::vector<float>{0, 255, 256, 300}));
    ASSERT_EQ(nivex_frame_load_gray(in, back, 4, &w, &h), 4);
    EXPECT_EQ(back[3], 7.0f);
    ASSERT_EQ(nivex_frame_load_gray(open_existing("g8.nx"), back, 4, &w, &h), 4);
    EXPECT_EQ(std::vector<float>(back, back + 4), (std::vector<float>{0, 255, 0, 44}));
}

// Frames large enough for the converters' vector groups, with values that
// do not fit 32 bits among them: every sample as the rule says.
TEST_F(FrameFileTest, LargeFramesKeepTheSampleRules) {
    const int w = 101, h = 31, n = w * h;
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> metres(-1.0f, 66.0f);
    std::vector<float> image(static_cast<size_t>(n));
    for (float &v : image)
        v = metres(rng);
    image[700] = std::numeric_limits<float>::quiet_NaN();
    image[1500] = 5e6f;  // 5e9 mm: beyond 32 bits
    image[2900] = -3e6f;
    // The stored integer: value times 1000 truncated, low bits.
    auto stored = [](float v) -> uint64_t {
        return std::isnan(v) ? 0 : static_cast<uint64_t>(static_cast<int64_t>(v * 1000.0f));
    };
    for (int fmt : {NIVEX_FRAME_SAVE_U16, NIVEX_FRAME_SAVE_U32}) {
        const std::string name = "large" + std::to_string(fmt) + ".nx";
        ASSERT_EQ(nivex_frame_save_distance(open_new(name), fmt, image.data(), n, w, h), 1);
        const std::string file = content(name);
        const size_t bytes = fmt == NIVEX_FRAME_SAVE_U16 ? 2 : 4;
        const size_t header = std::string(fmt == NIVEX_FRAME_SAVE_U16 ? "NX_DIST,U16,101,31\n"
                                                                      : "NX_DIST,U32,101,31\n")
                                  .size();
        ASSERT_EQ(file.size(), header + bytes * static_cast<size_t>(n));
        std::vector<float> back(static_cast<size_t>(n));
        ASSERT_EQ(nivex_frame_load_distance(open_existing(name), back.data(), n, nullptr, nullptr),
                  n);
        int wrong = 0;
        for (size_t i = 0; i < image.size(); ++i) {
            uint64_t want = stored(image[i]) & (bytes == 2 ? 0xFFFF : 0xFFFFFFFF);
            uint64_t got = 0;
            std::memcpy(&got, file.data() + header + bytes * i, bytes);
            wrong += got != want;
            wrong += back[i] != static_cast<float>(want) / 1000.0f;
        }
        EXPECT_EQ(wrong, 0) << fmt;
    }
}

// A gray image shorter than its frame would leave a short frame that shifts
// every later frame of the file: it is refused.
TEST_F(FrameFileTest, ShortGrayImagesAreRefused) {
    const float image[3] = {1, 2, 3};
    const int fd = open_new("g.nx");
    EXPECT_EQ(nivex_frame_save_gray(fd, NIVEX_FRAME_SAVE_U16, image, 3, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_gray] gray image shorter than one frame: 3 < 2x2"));
    EXPECT_EQ(content("g.nx"), "");
}

TEST_F(FrameFileTest, WrongFormatsAndSizesWriteNothing) {
    const float image[4] = {1, 2, 3, 4};
    const int fd = open_new("x.nx");
    EXPECT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_U8, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_distance] wrong distance save format: 3"));
    EXPECT_EQ(nivex_frame_save_gray(fd, NIVEX_FRAME_SAVE_U32, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_gray] wrong gray save format: 1"));
    for (auto [w, h] :
         {std::pair{0, 2}, {2, 0}, {0, 0}, {-2, -2}, {-1, 4}, {65536, 65536}, {100000, 100000}}) {
        EXPECT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_F32, image, 4, w, h), 0) << w;
        EXPECT_EQ(nivex_frame_save_gray(fd, NIVEX_FRAME_SAVE_U8, image, 4, w, h), 0) << w;
    }
    EXPECT_TRUE(logged("[nivex_frame_save_distance] wrong frame size: 0x2"));
    EXPECT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_F32, image, -4, 2, 2), 0);
    EXPECT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_F32, nullptr, 4, 2, 2), 0);
    EXPECT_EQ(content("x.nx"), "");
    // An unknown format is refused also where no header is due.
    ASSERT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_U16, image, 4, 2, 2), 1);
    EXPECT_EQ(nivex_frame_save_distance(fd, 7, image, 4, 2, 2), 0);
    EXPECT_EQ(content("x.nx").size(), 16u + 8u);
}

// Descriptors without a position (pipes) cannot tell whether a header is
// due; writes that fail are reported, not taken for success.
TEST_F(FrameFileTest, UnwritableAndUnseekableDescriptorsFail) {
    const float image[4] = {1, 2, 3, 4};
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    track(pipe_fds[0]);
    track(pipe_fds[1]);
    EXPECT_EQ(nivex_frame_save_distance(pipe_fds[1], NIVEX_FRAME_SAVE_F32, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_distance] cannot query the position of fd"));
    float back[4];
    EXPECT_EQ(nivex_frame_load_distance(pipe_fds[0], back, 4, nullptr, nullptr), 0);
    EXPECT_TRUE(logged("[nivex_frame_load_distance] cannot query the position of fd"));

    with_content("ro.nx", "");
    const int ro = open_existing("ro.nx");
    EXPECT_EQ(nivex_frame_save_distance(ro, NIVEX_FRAME_SAVE_F32, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_distance] faile to save NX_DIST header"));
    EXPECT_EQ(nivex_frame_save_gray(ro, NIVEX_FRAME_SAVE_U8, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_gray] faile to save NX_GRAY header"));
    with_content("ro2.nx", "0123456789");
    const int ro2 = open_existing("ro2.nx");
    lseek(ro2, 10, SEEK_SET);
    EXPECT_EQ(nivex_frame_save_distance(ro2, NIVEX_FRAME_SAVE_U16, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_distance] faile to save NX_DIST U16 data: 8 bytes"));
    EXPECT_EQ(nivex_frame_save_gray(ro2, NIVEX_FRAME_SAVE_U8, image, 4, 2, 2), 0);
    EXPECT_TRUE(logged("[nivex_frame_save_gray] faile to save NX_GRAY U8 data: 4 bytes"));
    EXPECT_EQ(nivex_frame_save_distance(-1, NIVEX_FRAME_SAVE_F32, image, 4, 2, 2), 0);
}

TEST_F(FrameFileTest, ShortDestinationStillConsumesTheFrame) {
    const float seq[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const int fd = open_new("d.nx");
    ASSERT_EQ(nivex_frame_save_distance(fd, NIVEX_FRAME_SAVE_F32, seq, 8, 2, 2), 1);
    const int in = open_existing("d.nx");
    float back[4] = {0, 0, 0, -1};
    EXPECT_EQ(nivex_frame_load_distance(in, back, 3, nullptr, nullptr), 3);
    EXPECT_EQ(back[2], 3.0f);
    EXPECT_EQ(back[3], -1.0f);
    EXPECT_EQ(nivex_frame_load_distance(in, back, 0, nullptr, nullptr), 0);  // frame 2, skipped
    EXPECT_EQ(lseek(in, 0, SEEK_CUR), static_cast<off_t>(16 + 32));
    lseek(in, 16, SEEK_SET);
    EXPECT_EQ(nivex_frame_load_distance(in, back, 4, nullptr, nullptr), 4);
    EXPECT_EQ(back[0], 1.0f);
}

TEST_F(FrameFileTest, UnknownHeadersAreRefusedAndSilenceTheFile) {
    float back[4];
    int w = -5, h = -5;
    const int fd = with_content("f16.nx", "NX_DIST,F16,2,2\n" + std::string(32, '\0'));
    EXPECT_EQ(nivex_frame_load_distance(fd, back, 4, &w, &h), 0);
    EXPECT_TRUE(logged("[nivex_frame_load_distance] faile to load NX file header"));
    EXPECT_EQ(w, -5);
    const int errors = count_lines(log_text(), "ERR");
    lseek(fd, 16, SEEK_SET);
    EXPECT_EQ(nivex_frame_load_distance(fd, back, 4, &w, &h), 0);
    EXPECT_EQ(count_lines(log_text(), "ERR"), errors);  // silent
    // A gray header is no distance header, and the other way round.
    EXPECT_EQ(
        nivex_frame_load_distance(with_content("g.nx", "NX_GRAY,U16,1,1\n\1\0"), back, 4, &w, &h),
        0);
    EXPECT_EQ(nivex_frame_load_gray(with_content("d.nx", "NX_DIST,U16,1,1\n\1\0"), back, 4, &w, &h),
              0);
    EXPECT_EQ(nivex_frame_load_gray(with_content("empty.nx", ""), back, 4, &w, &h), 0);
    EXPECT_TRUE(logged("[nivex_frame_load_gray] faile to load NX file header"));
}

// The loader reads files from anywhere: no header may make it divide by
// zero, overflow, allocate or read what the file does not hold.
TEST_F(FrameFileTest, HostileHeadersAreRefused) {
    float back[4] = {};
    const std::string body(64, '\x11');
    for (const std::string header :
         {"NX_DIST,F32,-2,-2\n", "NX_DIST,F32,-1,4\n", "NX_DIST,U16,99999999999,1\n",
          "NX_DIST,U32,65536,65536\n", "NX_DIST,F32,8193,8192\n", "NX_DIST,F32,,2\n",
          "NX_DIST,F32,2\n", "NX_DIST,F32,2;2\n"}) {
        const int fd = with_content("h.nx", header + body);
        EXPECT_EQ(nivex_frame_load_distance(fd, back, 4, nullptr, nullptr), 0) << header;
        EXPECT_EQ(nivex_frame_load_distance(fd, back, 4, nullptr, nullptr), 0) << header;
    }
    EXPECT_EQ(count_lines(log_text(), "faile to load NX file header"), 8);
    // Sizes of 0 are remembered, and every load then returns 0 quietly.
    const int zero = with_content("z.nx", "NX_GRAY,U8,0,5\n" + body);
    EXPECT_EQ(nivex_frame_load_gray(zero, back, 4, nullptr, nullptr), 0);
    EXPECT_EQ(count_lines(log_text(), "faile to load NX file header"), 8);
    // A frame that the rest of the file cannot hold is not read at all.
    const int big = with_content("big.nx", "NX_DIST,F32,4096,4096\n" + body);
    EXPECT_EQ(nivex_frame_load_distance(big, back, 4, nullptr, nullptr), 0);
    EXPECT_TRUE(logged("[nivex_frame_load_distance] read 67108864 date failed: ret= 64"));
    EXPECT_EQ(lseek(big, 0, SEEK_CUR), 22);
    // Text after the numbers is allowed, as is a header without a newline
    // in its first 256 bytes.
    const int tail = with_content("t.nx", "NX_DIST,U16, 1,+1 recorded\n\x10\x27");
    ASSERT_EQ(nivex_frame_load_distance(tail, back, 4, nullptr, nullptr), 1);
    EXPECT_EQ(back[0], 10.0f);
}

// Two recordings read side by side (or from two threads) each keep their
// own frame size.
TEST_F(FrameFileTest, FilesReadAlternatelyKeepTheirOwnHeaders) {
    std::vector<float> a(3 * 6), b(3 * 20);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<float>(i);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = 100.0f + static_cast<float>(i);
    ASSERT_EQ(nivex_frame_save_distance(open_new("a.nx"), NIVEX_FRAME_SAVE_U32, a.data(), 18, 3, 2),
              1);
    ASSERT_EQ(nivex_frame_save_distance(open_new("b.nx"), NIVEX_FRAME_SAVE_F32, b.data(), 60, 5, 4),
              1);
    const int fa = open_existing("a.nx"), fb = open_existing("b.nx");
    std::vector<float> frame(20);
    int w, h;
    for (int n = 0; n < 3; ++n) {
        ASSERT_EQ(nivex_frame_load_distance(fa, frame.data(), 20, &w, &h), 6);
        EXPECT_EQ(w * 10 + h, 32);
        EXPECT_EQ(frame[5], a[static_cast<size_t>(6 * n + 5)]);
        ASSERT_EQ(nivex_frame_load_distance(fb, frame.data(), 20, &w, &h), 20);
        EXPECT_EQ(w * 10 + h, 54);
        EXPECT_EQ(frame[19], b[static_cast<size_t>(20 * n + 19)]);
    }

    auto reader = [&](const std::string &name, int frames, int pixels, int *ok) {
        const int fd = open(dir_.file(name).c_str(), O_RDONLY);
        std::vector<float> buf(20);
        for (int round = 0; round < 200; ++round) {
            lseek(fd, 0, SEEK_SET);
            for (int n = 0; n < frames; ++n)
                *ok += nivex_frame_load_distance(fd, buf.data(), 20, nullptr, nullptr) == pixels;
        }
        close(fd);
    };
    int ok_a = 0, ok_b = 0;
    std::thread ta(reader, "a.nx", 3, 6, &ok_a), tb(reader, "b.nx", 3, 20, &ok_b);
    ta.join();
    tb.join();
    EXPECT_EQ(ok_a, 600);
    EXPECT_EQ(ok_b, 600);
}

// A descriptor whose header was never read loads nothing, also when its
// number once belonged to a file whose header was read.
TEST_F(FrameFileTest, DescriptorsWithoutAHeaderLoadNothing) {
    const float image[4] = {1, 2, 3, 4};
    ASSERT_EQ(nivex_frame_save_distance(open_new("a.nx"), NIVEX_FRAME_SAVE_F32, image, 4, 2, 2), 1);
    ASSERT_EQ(nivex_frame_save_distance(open_new("b.nx"), NIVEX_FRAME_SAVE_F32, image, 4, 1, 4), 1);
    float back[4];
    int fd = open(dir_.file("a.nx").c_str(), O_RDONLY);
    ASSERT_EQ(nivex_frame_load_distance(fd, back, 4, nullptr, nullptr), 4);
    close(fd);
    const int reused = open(dir_.file("b.nx").c_str(), O_RDONLY);
    ASSERT_EQ(reused, fd);  // the lowest free number comes back
    track(reused);
    lseek(reused, 16, SEEK_SET);
    EXPECT_EQ(nivex_frame_load_distance(reused, back, 4, nullptr, nullptr), 0);
    lseek(reused, 0, SEEK_SET);
    int w = 0, h = 0;
    EXPECT_EQ(nivex_frame_load_distance(reused, back, 4, &w, &h), 4);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 4);
}

}  // namespace
}  // namespace nxtest
