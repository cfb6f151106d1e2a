// Recording a capture and replaying it as a device: the replayed frames and
// their descriptions equal the recorded ones byte for byte, and decoding
// them with the recorded switches gives the images the camera's host got,
// for EPC cameras (whose decode rests on calibration files, sensor
// registers and frame temperatures) and TI cameras. Damaged files are
// refused, the camera-only calls fail on a replay, and a recording cut by
// an unplug keeps its complete frames.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/sim_fixture.h"

namespace nxtest {
namespace {

constexpr const char *kEpc = "NVX-E2-2.0b";
constexpr const char *kTi = "NVX-T0-1.0";
constexpr int kFrames = 4;

struct Fetched {
    nivex_frame_meta meta{};
    std::vector<uint8_t> raw;
    std::vector<float> distance;
    std::vector<float> gray;
    std::vector<float> cloud;  // with the driver's lens (none for TI: empty)
};

std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// The device's next frame, and its distance and gray images decoded at once
// (the decode uses the temperatures of the frame described last).
Fetched fetch_and_decode(nivex_device *dev) {
    Fetched f;
    f.raw.resize(2 * NIVEX_FRAME_SLOT_SIZE);
    const int got =
        nivex_cap_get_frames(dev, 1, f.raw.data(), static_cast<uint32_t>(f.raw.size()), &f.meta);
    EXPECT_EQ(got, 1);
    if (got != 1) return f;
    f.raw.resize(f.meta.frame_size);
    const int pixels = static_cast<int>(f.meta.width * f.meta.height);
    f.distance.resize(static_cast<size_t>(pixels));
    f.gray.resize(static_cast<size_t>(pixels));
    EXPECT_EQ(nivex_frame_get_distance(dev, f.distance.data(), pixels, f.raw.data(),
                                       static_cast<int>(f.raw.size()), &f.meta),
              pixels);
    EXPECT_EQ(nivex_frame_get_gray(dev, f.gray.data(), pixels, f.raw.data(),
                                   static_cast<int>(f.raw.size()), &f.meta),
              pixels);
    f.cloud.resize(3 * static_cast<size_t>(pixels));
    const int points = nivex_frame_get_pcl(dev, f.cloud.data(), 3 * pixels, f.distance.data(),
                                           pixels, static_cast<int>(f.meta.width),
                                           static_cast<int>(f.meta.height), nullptr);
    f.cloud.resize(3 * static_cast<size_t>(points));
    return f;
}

std::vector<Fetched> capture(nivex_device *dev, int frames) {
    std::vector<Fetched> out;
    EXPECT_TRUE(nivex_cap_set_frame_buffer(dev, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
    EXPECT_TRUE(nivex_cap_start(dev));
    for (int i = 0; i < frames; ++i)
        out.push_back(fetch_and_decode(dev));
    return out;
}

class RecordingTest : public SimTest {
  protected:
    // Opens a camera of `product` into dev_; EPC cameras get their factory
    // calibration into the data folder first.
    void open_camera(const std::string &product, const std::string &sim_extra = "") {
        ASSERT_EQ(nxsim::configure("product=" + product + sim_extra), "");
        ASSERT_EQ(nxsim::cameras().size(), 1u);
        cam_ = nxsim::cameras()[0];
        if (product == kEpc) {
            ASSERT_TRUE(cam_.write_factory_calibration(dir_.path().string() + "/"));
        }
        ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    }

    // Records kFrames frames of the open camera into path_, decoding each.
    std::vector<Fetched> record() {
        EXPECT_TRUE(nivex_rec_start(&dev_, path_.c_str()));
        std::vector<Fetched> frames = capture(&dev_, kFrames);
        EXPECT_EQ(nivex_rec_stop(&dev_), kFrames);
        nivex_cap_stop(&dev_);
        nivex_dev_close(&dev_);
        return frames;
    }

    // Leaves the data folder without the camera's calibration files, so a
    // replay can only decode with the recording's own.
    void remove_data_files() {
        for (const auto &entry : std::filesystem::directory_iterator(dir_.path()))
            if (entry.path().extension() != ".log" && entry.path().string() != path_)
                std::filesystem::remove_all(entry.path());
    }

    void expect_replay_equals(const std::vector<Fetched> &recorded) {
        nivex_device *replay = nivex_dev_open_recording(path_.c_str(), 0);
        ASSERT_NE(replay, nullptr);
        const std::vector<Fetched> again = capture(replay, kFrames);
        for (size_t i = 0; i < recorded.size() && i < again.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            EXPECT_EQ(std::memcmp(&again[i].meta, &recorded[i].meta, sizeof(nivex_frame_meta)), 0);
            EXPECT_EQ(again[i].raw, recorded[i].raw);
            EXPECT_TRUE(same_bits(again[i].distance, recorded[i].distance));
            EXPECT_TRUE(same_bits(again[i].gray, recorded[i].gray));
            EXPECT_TRUE(same_bits(again[i].cloud, recorded[i].cloud));
        }
        // The recording is over: the capture ended by itself.
        std::vector<uint8_t> raw(2 * NIVEX_FRAME_SLOT_SIZE);
        EXPECT_EQ(
            nivex_cap_get_frames(replay, 1, raw.data(), static_cast<uint32_t>(raw.size()), nullptr),
            NIVEX_ERR_NOT_CAPTURING);
        nivex_dev_close(replay);
    }

    nxsim::Camera cam_;
    std::string path_ = dir_.file("capture.nxr");
};

TEST_F(RecordingTest, EpcReplayGivesTheRecordedFramesAndImages) {
    open_camera(kEpc, ",scene=wall:1500");
    if (HasFatalFailure()) return;
    nivex_filter_args per_pixel{};
    per_pixel.calib_mode = 1;
    ASSERT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_PIXEL_CALIB, &per_pixel, sizeof per_pixel),
              1);
    ASSERT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    const std::vector<Fetched> recorded = record();
    remove_data_files();
    ASSERT_FALSE(recorded.empty());
    EXPECT_GT(recorded[0].cloud.size(), 0u);  // the driver has a lens: clouds are compared
    expect_replay_equals(recorded);
    EXPECT_FALSE(logged("simple calibration used"));
}

TEST_F(RecordingTest, TiReplayGivesTheRecordedFramesAndImages) {
    open_camera(kTi);
    if (HasFatalFailure()) return;
    const std::vector<Fetched> recorded = record();
    expect_replay_equals(recorded);
}

// Other switches on the replay change the images of the same frames.
TEST_F(RecordingTest, ReplayDecodesWithOtherSwitches) {
    open_camera(kEpc, ",scene=wall:1500");
    if (HasFatalFailure()) return;
    const std::vector<Fetched> recorded = record();
    nivex_device *replay = nivex_dev_open_recording(path_.c_str(), 0);
    ASSERT_NE(replay, nullptr);
    ASSERT_EQ(nivex_filter_enable(replay, NIVEX_FILTER_LENS_UNDISTORT, nullptr, 0), 1);
    const std::vector<Fetched> again = capture(replay, 1);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].raw, recorded[0].raw);
    EXPECT_FALSE(same_bits(again[0].distance, recorded[0].distance));
    EXPECT_FALSE(same_bits(again[0].gray, recorded[0].gray));
    nivex_dev_close(replay);
}

TEST_F(RecordingTest, ReplayAnswersReadsAndRefusesWhatNeedsACamera) {
    open_camera(kEpc, ",scene=wall:1500");
    if (HasFatalFailure()) return;
    record();
    nivex_device *replay = nivex_dev_open_recording(path_.c_str(), 0);
    ASSERT_NE(replay, nullptr);
    EXPECT_STREQ(replay->product, kEpc);
    nivex_param_entry product{};
    product.param_id = NIVEX_PARAM_PRODUCT_STR;
    ASSERT_TRUE(nivex_param_batch_get(replay, &product, 1));
    EXPECT_EQ(std::string(product.param_val.str, strnlen(product.param_val.str, 18)), kEpc);

    nivex_param_entry rate{};
    rate.param_id = NIVEX_PARAM_FRAME_RATE;
    rate.param_val_len = 4;
    rate.param_val.u32 = 5;
    EXPECT_FALSE(nivex_param_batch_set(replay, &rate, 1));
    EXPECT_TRUE(logged("parameter write needs a camera"));
    const uint32_t value = 1;
    EXPECT_FALSE(nivex_reg_batch_write(replay, 0, 0x10, &value, 1));
    EXPECT_TRUE(logged("register write to target 0 needs a camera"));
    EXPECT_FALSE(nivex_dev_reset(replay, 0));
    EXPECT_LT(nivex_data_upload(replay, 0, dir_.file("upload.bin").c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("upload.bin")));
    // The replay still captures after the refusals.
    EXPECT_EQ(capture(replay, 1).size(), 1u);
    nivex_dev_close(replay);
}

// Frames recorded until the camera was unplugged are all in the file, and a
// file cut inside its last frame record keeps the frames before it.
TEST_F(RecordingTest, UnplugAndCutFilesKeepTheCompleteFrames) {
    open_camera(kTi);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(nivex_rec_start(&dev_, path_.c_str()));
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(&dev_));
    std::vector<uint8_t> raw(2 * NIVEX_FRAME_SLOT_SIZE);
    int fetched = 0;
    for (int i = 0; i < 2; ++i)
        fetched += nivex_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()),
                                        nullptr) == 1;
    ASSERT_EQ(fetched, 2);
    cam_.unplug();
    while (nivex_cap_get_frames(&dev_, 1, raw.data(), static_cast<uint32_t>(raw.size()), nullptr) ==
           1)
        ++fetched;
    EXPECT_EQ(nivex_rec_stop(&dev_), fetched);
    EXPECT_FALSE(nivex_rec_start(&dev_, dir_.file("late.nxr").c_str()));
    nivex_dev_close(&dev_);

    const std::vector<uint8_t> whole = file_bytes(path_);
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 100);
    write_bytes(path_, cut);
    nivex_device *replay = nivex_dev_open_recording(path_.c_str(), 0);
    ASSERT_NE(replay, nullptr);
    EXPECT_TRUE(logged("recording cut short"));
    ASSERT_TRUE(nivex_cap_set_frame_buffer(replay, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(replay));
    int replayed = 0;
    while (nivex_cap_get_frames(replay, 1, raw.data(), static_cast<uint32_t>(raw.size()),
                                nullptr) == 1)
        ++replayed;
    EXPECT_EQ(replayed, fetched - 1);
    nivex_dev_close(replay);
}

class DamagedRecordingTest : public RecordingTest {
  protected:
    void SetUp() override {
        RecordingTest::SetUp();
        open_camera(kTi);
        if (HasFatalFailure()) return;
        record();
        good_ = file_bytes(path_);
        ASSERT_GT(good_.size(), 100u);
    }

    // Opening `bytes` as a recording fails with a log line holding `why`.
    void expect_refused(const std::vector<uint8_t> &bytes, const std::string &why) {
        const std::string path = dir_.file("damaged.nxr");
        write_bytes(path, bytes);
        EXPECT_EQ(nivex_dev_open_recording(path.c_str(), 0), nullptr);
        EXPECT_TRUE(logged(why)) << why;
    }

    // Offset of the first section with `tag`.
    size_t section(const char (&tag)[5]) const {
        for (size_t at = 16; at + 8 <= good_.size();) {
            if (std::memcmp(good_.data() + at, tag, 4) == 0) return at;
            uint32_t size = 0;
            std::memcpy(&size, good_.data() + at + 4, 4);
            at += 8 + size;
        }
        ADD_FAILURE() << "no section " << tag;
        return 0;
    }

    std::vector<uint8_t> good_;
};

TEST_F(DamagedRecordingTest, WrongMagicVersionOrTruncationIsRefused) {
    std::vector<uint8_t> bytes = good_;
    bytes[0] ^= 0xFF;
    expect_refused(bytes, "not a recording: wrong magic");
    bytes = good_;
    bytes[8] = 2;
    expect_refused(bytes, "recording format version 2 not supported");
    expect_refused({good_.begin(), good_.begin() + 10}, "not a recording: file too short");
    const size_t params = section("PARM");
    expect_refused({good_.begin(), good_.begin() + static_cast<long>(params) + 12},
                   "recording truncated at offset");
    expect_refused({}, "not a recording: file too short");
}

TEST_F(DamagedRecordingTest, InconsistentSectionsAreRefused) {
    std::vector<uint8_t> bytes = good_;
    const size_t frame = section("FRAM");
    bytes[frame + 8] ^= 0x01;  // the frame length no longer fits its record
    expect_refused(bytes, "recording damaged: section FRAM");
    bytes = good_;
    const size_t params = section("PARM");
    bytes[params + 4] = 7;  // not a whole number of parameter records
    expect_refused(bytes, "recording damaged");
    bytes = good_;
    const size_t identity = section("IDNT");
    std::memcpy(bytes.data() + identity, "XDNT", 4);  // skipped as unknown: no identity left
    expect_refused(bytes, "recording damaged: no identity section");
}

TEST_F(DamagedRecordingTest, UnknownSectionsAreSkipped) {
    std::vector<uint8_t> bytes(good_.begin(), good_.begin() + 16);
    const uint8_t extra[] = {'N', 'E', 'W', '!', 3, 0, 0, 0, 1, 2, 3};
    bytes.insert(bytes.end(), std::begin(extra), std::end(extra));
    bytes.insert(bytes.end(), good_.begin() + 16, good_.end());
    const std::string path = dir_.file("newer.nxr");
    write_bytes(path, bytes);
    nivex_device *replay = nivex_dev_open_recording(path.c_str(), 0);
    ASSERT_NE(replay, nullptr);
    EXPECT_EQ(capture(replay, kFrames).size(), static_cast<size_t>(kFrames));
    nivex_dev_close(replay);
}

}  // namespace
}  // namespace nxtest
