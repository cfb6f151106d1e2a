// nivex capture against the simulated EPC camera: the images, point cloud and
// frame files it writes are read back and compared with the library's own
// conversions of the same frames; failures leave no file behind.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "nivex.h"
#include "output_readers.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kWidth = 320, kHeight = 240;

// The library converts the distances the tool saved, as the reference.
class ToolCapture : public LibraryToolTest {
  protected:
    // One run writing every output of the last of `frames` frames, and the
    // distances of every frame exactly (F32 frame file).
    ToolRun capture_all(const std::string &frames, const std::string &range,
                        const std::vector<std::string> &more = {}) {
        std::vector<std::string> args = {"capture",
                                         "--sim",
                                         "-n",
                                         frames,
                                         "-o",
                                         "out",
                                         "--depth-png",
                                         "--depth16-png",
                                         "--amplitude-png",
                                         "--ply",
                                         "--distance-file",
                                         "--file-format",
                                         "f32",
                                         "--amplitude-file",
                                         "--raw",
                                         "--range",
                                         range,
                                         "--lens",
                                         "160,120,150,150"};
        args.insert(args.end(), more.begin(), more.end());
        return nivex(args);
    }

    // The library's colour of every pixel of `distance` over the range.
    static std::vector<uint8_t> library_colours(const std::vector<float> &distance, float low,
                                                float high) {
        std::vector<uint8_t> rgb(distance.size() * 3);
        nivex_cmap_float(rgb.data(), static_cast<int>(rgb.size()), distance.data(),
                         static_cast<int>(distance.size()), NIVEX_CMAP_OUTFMT_3B, low, high);
        return rgb;
    }
};

bool valid(float d) {
    return d > 0.0f && d < 60.0f;
}

TEST_F(ToolCapture, WritesEveryOutputOfTheCapturedFrames) {
    ToolRun run = capture_all("3", "0.5:4.5");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("frames: 3 in"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("dropped: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("stream: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("centre distance: "), std::string::npos) << run.out;

    DistanceFrames frames = read_distance_file(path("out/distance.nxd"));
    ASSERT_EQ(frames.frames.size(), 3u);
    EXPECT_EQ(frames.width, 320);
    EXPECT_EQ(frames.height, 240);
    EXPECT_EQ(fs::file_size(path("out/frames.raw")), 3u * 614400u);
    EXPECT_GT(fs::file_size(path("out/amplitude.nxg")), 3u * kWidth * kHeight * 2);

    // The 16-bit image is the last frame in millimetres.
    const std::vector<float> &last = frames.frames.back();
    PngImage mm = read_png(path("out/depth16.png"));
    ASSERT_TRUE(mm.sixteen_bit);
    ASSERT_EQ(mm.channels, 1u);
    ASSERT_EQ(mm.words.size(), last.size());
    for (size_t i = 0; i < last.size(); ++i)
        ASSERT_EQ(mm.words[i], static_cast<uint16_t>(std::lround(last[i] * 1000.0f))) << i;

    PngImage amplitude = read_png(path("out/amplitude.png"));
    EXPECT_EQ(amplitude.width, kWidth);
    EXPECT_EQ(amplitude.height, kHeight);
    EXPECT_EQ(amplitude.channels, 1u);
    EXPECT_EQ(*std::max_element(amplitude.bytes.begin(), amplitude.bytes.end()), 255);
    EXPECT_TRUE(hidden_files(path("out")).empty());
}

TEST_F(ToolCapture, DepthImageHasTheColourMapsColoursOverTheRange) {
    ToolRun run = capture_all("1", "1.0:2.5");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<float> distance = read_distance_file(path("out/distance.nxd")).frames.at(0);
    PngImage depth = read_png(path("out/depth.png"));
    ASSERT_EQ(depth.width, kWidth);
    ASSERT_EQ(depth.height, kHeight);
    ASSERT_EQ(depth.channels, 3u);
    EXPECT_EQ(depth.bytes, library_colours(distance, 1.0f, 2.5f));

    // In range near is red and far is blue; valid distances out of range are
    // black (the steps scene spans about 0.8 to 3.5 m).
    size_t near = 0, far = 0, outside = 0;
    for (size_t i = 0; i < distance.size(); ++i) {
        const uint8_t *rgb = &depth.bytes[3 * i];
        const float d = distance[i];
        if (d >= 1.0f && d < 1.3f && rgb[0] > rgb[2]) ++near;
        if (d > 2.2f && d <= 2.5f && rgb[2] > rgb[0]) ++far;
        if (valid(d) && (d < 0.95f || d > 2.6f) && rgb[0] + rgb[1] + rgb[2] == 0) ++outside;
    }
    EXPECT_GT(near, 100u);
    EXPECT_GT(far, 100u);
    EXPECT_GT(outside, 100u);
}

TEST_F(ToolCapture, PointCloudHoldsTheValidPixelsAlongTheirRays) {
    const float cx = 160, cy = 120, fx = 150, fy = 150;
    for (const char *encoding : {"binary_little_endian", "ascii"}) {
        std::vector<std::string> more;
        if (std::string(encoding) == "ascii") more.push_back("--ascii");
        ToolRun run = capture_all("1", "0.5:4.5", more);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<float> d = read_distance_file(path("out/distance.nxd")).frames.at(0);
        const std::vector<uint8_t> colours = library_colours(d, 0.5f, 4.5f);
        PlyCloud cloud = read_ply(path("out/cloud.ply"));
        EXPECT_EQ(cloud.format, encoding);
        EXPECT_EQ(cloud.properties,
                  (std::vector<std::string>{"float x", "float y", "float z", "uchar red",
                                            "uchar green", "uchar blue"}));
        size_t valid_pixels = static_cast<size_t>(std::count_if(d.begin(), d.end(), valid));
        ASSERT_GT(valid_pixels, d.size() / 2);
        ASSERT_EQ(cloud.declared, valid_pixels);
        ASSERT_EQ(cloud.points.size(), valid_pixels);
        size_t point = 0;
        for (size_t i = 0; i < d.size(); ++i) {
            if (!valid(d[i])) continue;
            const PlyPoint &p = cloud.points[point++];
            float u = (static_cast<float>(i % kWidth) - cx) / fx;
            float v = (static_cast<float>(i / kWidth) - cy) / fy;
            float z = d[i] / std::sqrt(u * u + v * v + 1.0f);
            ASSERT_NEAR(p.z, z, 1e-4f) << encoding << " pixel " << i;
            ASSERT_NEAR(p.x, u * z, 1e-4f) << encoding << " pixel " << i;
            ASSERT_NEAR(p.y, v * z, 1e-4f) << encoding << " pixel " << i;
            ASSERT_EQ(p.r, colours[3 * i]) << i;
            ASSERT_EQ(p.g, colours[3 * i + 1]) << i;
            ASSERT_EQ(p.b, colours[3 * i + 2]) << i;
        }
    }
}

TEST_F(ToolCapture, DurationAndDriverIntrinsicsAndFilters) {
    ToolRun run = nivex({"capture", "--sim=scene=wall:1500,noise=0", "-t", "0.5", "-o", "w",
                         "--ply", "--filter", "smooth=3", "--no-filter", "min-amp"});
    ASSERT_EQ(run.status, 0) << run.err;
    size_t centre = run.out.find("centre distance: ");
    ASSERT_NE(centre, std::string::npos) << run.out;
    EXPECT_NEAR(std::stod(run.out.substr(centre + 17)), 1.5, 0.005) << run.out;
    PlyCloud cloud = read_ply(path("w/cloud.ply"));
    ASSERT_GT(cloud.points.size(), 0u);
    // The driver's intrinsics of the undistorted image: the wall is flat.
    size_t on_wall = 0;
    for (const PlyPoint &p : cloud.points)
        if (std::fabs(p.z - 1.5f) < 0.02f) ++on_wall;
    EXPECT_GT(on_wall, cloud.points.size() * 9 / 10);
}

TEST_F(ToolCapture, BadOptionsFailBeforeAnythingIsWritten) {
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "-n", "abc"}), "--frames"));
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "-n", "0"}), "--frames"));
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "--range", "4:1"}), "--range"));
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "--range", "x:1"}), "bad number 'x'"));
    EXPECT_TRUE(
        one_line_error(nivex({"capture", "--sim", "--filter", "blur"}), "unknown filter 'blur'"));
    EXPECT_TRUE(
        one_line_error(nivex({"capture", "--sim", "--filter", "smooth"}), "smooth=MEDIAN_SIZE"));
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "--lens", "1,2,3"}), "--lens"));
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "--file-format", "u8"}), "u8"));
    write_file(path("plain"), "a file");
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "-o", "plain/sub", "--ply"}),
                               "cannot create the output folder plain/sub"));
    EXPECT_TRUE(one_line_error(nivex({"capture", "--sim", "--depth-png=no/dir/d.png"}),
                               "cannot write no/dir/d.png"));
    EXPECT_TRUE(hidden_files(dir_).empty());
}

TEST_F(ToolCapture, BrokenCaptureLeavesEarlierFilesAsTheyWere) {
    fs::create_directories(path("out"));
    write_file(path("out/depth.png"), "earlier");
    // A camera without a calibration upload at open, so that the frames
    // counted towards the unplug are all the capture's.
    ToolRun run = nivex({"capture", "--sim=product=NVX-T0-1.0,unplug_after=2", "-n", "20", "-o",
                         "out", "--depth-png", "--ply", "--lens", "160,120,200,200", "--raw"});
    EXPECT_TRUE(one_line_error(run, "the capture ended early"));
    EXPECT_EQ(read_file(path("out/depth.png")), "earlier");
    EXPECT_FALSE(fs::exists(path("out/cloud.ply")));
    EXPECT_FALSE(fs::exists(path("out/frames.raw")));
    EXPECT_TRUE(hidden_files(path("out")).empty());
}

TEST_F(ToolCapture, InterruptedCaptureKeepsTheFramesItHas) {
    ToolRun run = nivex_on_terminal(
        {"capture", "--sim", "-t", "600", "-o", "out", "--depth-png", "--raw"}, "frame 3,");
    ASSERT_EQ(run.status, 0) << run.out;
    size_t summary = run.out.find("frames: ");
    ASSERT_NE(summary, std::string::npos) << run.out;
    unsigned long frames = std::stoul(run.out.substr(summary + 8));
    EXPECT_GE(frames, 3u);
    EXPECT_EQ(fs::file_size(path("out/frames.raw")), frames * 614400u);
    EXPECT_EQ(read_png(path("out/depth.png")).width, kWidth);
}

TEST_F(ToolCapture, TiCameraNeedsGivenIntrinsicsForItsCloud) {
    ToolRun without = nivex({"capture", "--sim=product=NVX-T0-1.0", "-o", "ti", "--ply"});
    EXPECT_TRUE(one_line_error(without, "--lens"));
    EXPECT_FALSE(fs::exists(path("ti/cloud.ply")));
    ToolRun with = nivex(
        {"capture", "--sim=product=NVX-T0-1.0", "-o", "ti", "--ply", "--lens", "160,120,200,200"});
    EXPECT_EQ(with.status, 0) << with.err;
    EXPECT_EQ(read_ply(path("ti/cloud.ply")).format, "binary_little_endian");
}

}  // namespace
}  // namespace tooltest
