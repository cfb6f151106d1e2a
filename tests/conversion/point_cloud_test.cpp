// Point clouds: which pixels give points, the buffer limits, the geometry
// against a double-precision projection, the lens sources, the fourth value.
#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include "conversion/conversion_fixture.h"
#include "imgproc/nx_cmap.h"

namespace nxtest {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class PointCloudTest : public ConversionTest {
  protected:
    // The cloud into out_, which has room for pcl_len floats (by default a
    // point per pixel) and a sentinel after them.
    int pcl(const std::vector<float> &dist, int w, int h, const nivex_lens_param *lens,
            std::optional<int> pcl_len = {}) {
        const int len = prepare(pcl_len.value_or(static_cast<int>(3 * dist.size())));
        return nivex_frame_get_pcl(&dev_, out_.data(), len, dist.data(),
                                   static_cast<int>(dist.size()), w, h, lens);
    }
    int xyzd(const std::vector<float> &dist, int w, int h, bool colour,
             const nivex_lens_param *lens, std::optional<int> pcl_len = {}) {
        const int len = prepare(pcl_len.value_or(static_cast<int>(4 * dist.size())));
        return nivex_frame_get_pcl_xyzd(&dev_, out_.data(), len, dist.data(),
                                        static_cast<int>(dist.size()), w, h, colour, lens);
    }
    int prepare(int len) {
        out_.assign(static_cast<size_t>(std::max(len, 0)) + 1, kSentinel);
        return len;
    }

    static constexpr float kSentinel = 12345.0f;
    std::vector<float> out_;
};

TEST_F(PointCloudTest, PixelAtThePrincipalPointLiesOnTheAxis) {
    const nivex_lens_param lens = {3, 2, 200, 210, 1};
    std::vector<float> dist(8 * 5, 0.0f);
    dist[2 * 8 + 3] = 1.5f;
    ASSERT_EQ(pcl(dist, 8, 5, &lens), 1);
    EXPECT_EQ(out_[0], 0.0f);
    EXPECT_EQ(out_[1], 0.0f);
    EXPECT_EQ(out_[2], 1.5f);
    ASSERT_EQ(xyzd(dist, 8, 5, false, &lens), 1);
    EXPECT_EQ(out_[2], 1.5f);
    EXPECT_EQ(out_[3], 1.5f);
}

// The point at range d along the pinhole ray of pixel (col, row), in double
// precision, for comparison.
struct Point {
    double x, y, z;
};
Point project(int col, int row, double d, const nivex_lens_param &k) {
    const double r = d * k.dist_scale;
    const double u = (col - k.cx) / k.fx, v = (row - k.cy) / k.fy;
    const double z = r / std::sqrt(1 + u * u + v * v);
    return {u * z, v * z, z};
}

TEST_F(PointCloudTest, OnlyDistancesStrictlyBetweenZeroAndSixtyGivePoints) {
    const nivex_lens_param lens = {5, 0.5f, 120, 130, 1};
    const std::vector<float> dist = {65.3f, 65.4f,  65.5f, 0.0f,   -1.0f, kNaN,
                                     60.0f, 59.99f, kInf,  0.001f, 2.0f,  -kInf};
    ASSERT_EQ(pcl(dist, 6, 2, &lens), 3);
    const std::pair<int, double> expected[] = {{7, 59.99}, {9, 0.001}, {10, 2.0}};
    for (int n = 0; n < 3; ++n) {
        const auto [index, d] = expected[n];
        const Point p = project(index % 6, index / 6, static_cast<float>(d), lens);
        EXPECT_NEAR(out_[3 * n + 0], p.x, 1e-5 * d) << n;
        EXPECT_NEAR(out_[3 * n + 1], p.y, 1e-5 * d) << n;
        EXPECT_NEAR(out_[3 * n + 2], p.z, 1e-5 * d) << n;
    }
}

TEST_F(PointCloudTest, AFullBufferEndsTheCloud) {
    const nivex_lens_param lens = {2, 2, 100, 100, 1};
    const std::vector<float> dist(16, 1.0f);
    for (auto [len, points] :
         {std::pair{5, 1}, {2, 0}, {3, 1}, {47, 15}, {48, 16}, {100, 16}, {0, 0}, {-5, 0}}) {
        EXPECT_EQ(pcl(dist, 4, 4, &lens, len), points) << len;
        EXPECT_EQ(out_.back(), kSentinel) << len;
        if (points > 0) {
            EXPECT_NE(out_[static_cast<size_t>(3 * points - 1)], kSentinel) << len;
        }
    }
    for (auto [len, points] : {std::pair{7, 1}, {8, 2}, {3, 0}, {64, 16}}) {
        EXPECT_EQ(xyzd(dist, 4, 4, false, &lens, len), points) << len;
        EXPECT_EQ(out_.back(), kSentinel) << len;
    }
}

TEST_F(PointCloudTest, PointsFollowTheProjectionInRowMajorOrder) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> metres(-2.0f, 8.0f);
    const int w = 67, h = 45;  // whole groups of eight and a rest in every row
    std::vector<float> dist(w * h);
    for (float &d : dist)
        d = metres(rng);  // about a fifth of them negative: no point
    const nivex_lens_param lens = {31.7f, 22.2f, 41.5f, 43.25f, 0.75f};
    const int n = xyzd(dist, w, h, false, &lens);
    int k = 0, wrong = 0;
    for (int i = 0; i < w * h; ++i) {
        if (!(dist[i] > 0.0f)) continue;
        const Point p = project(i % w, i / w, dist[i], lens);
        const float *q = &out_[4 * static_cast<size_t>(k++)];
        const double tol = 1e-5 * dist[i] + 1e-7;
        wrong += std::abs(q[0] - p.x) > tol || std::abs(q[1] - p.y) > tol ||
                 std::abs(q[2] - p.z) > tol || q[3] != dist[i] * 0.75f;
    }
    EXPECT_EQ(n, k);
    EXPECT_EQ(wrong, 0);
}

// However steep the ray (here nearly along the image plane), the point lies
// at its range from the camera, in front of it, on the pixel's ray.
TEST_F(PointCloudTest, SteepRaysKeepTheirRange) {
    const nivex_lens_param lens = {0, 0, 0.01f, 0.02f, 1};
    ASSERT_EQ(pcl({1.0f, 2.0f, 3.0f, 4.0f}, 2, 2, &lens), 4);
    for (int n = 0; n < 4; ++n) {
        const float *p = &out_[3 * static_cast<size_t>(n)];
        EXPECT_NEAR(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]), n + 1.0, 1e-5) << n;
        EXPECT_GT(p[2], 0.0f) << n;
        EXPECT_NEAR(p[0] / p[2], (n % 2) / 0.01, 1e-3) << n;
        EXPECT_NEAR(p[1] / p[2], (n / 2) / 0.02, 1e-3) << n;
    }
}

TEST_F(PointCloudTest, ImageLargerThanItsBufferIsRefused) {
    const nivex_lens_param lens = {1, 1, 100, 100, 1};
    std::vector<float> dist(12, 1.0f), cloud(64);
    EXPECT_EQ(nivex_frame_get_pcl(&dev_, cloud.data(), 64, dist.data(), 11, 4, 3, &lens), 0);
    EXPECT_TRUE(logged("[nivex_frame_get_pcl] dist_len 11 too small for 4x3"));
    EXPECT_EQ(
        nivex_frame_get_pcl_xyzd(&dev_, cloud.data(), 64, dist.data(), -1, 4, 3, false, &lens), 0);
    // A product beyond the int range does not wrap around.
    EXPECT_EQ(
        nivex_frame_get_pcl(&dev_, cloud.data(), 64, dist.data(), 12, 0x10000, 0x10001, &lens), 0);
    EXPECT_EQ(nivex_frame_get_pcl(&dev_, cloud.data(), 64, dist.data(), 12, 4, 3, &lens), 12);
    EXPECT_EQ(nivex_frame_get_pcl(&dev_, nullptr, 64, dist.data(), 12, 4, 3, &lens), 0);
    EXPECT_EQ(nivex_frame_get_pcl(&dev_, cloud.data(), 64, nullptr, 12, 4, 3, &lens), 0);
    EXPECT_EQ(nivex_frame_get_pcl(&dev_, cloud.data(), 64, dist.data(), 12, -4, -3, &lens), 0);
    const nivex_lens_param flat = {1, 1, 0, 100, 1};
    EXPECT_EQ(nivex_frame_get_pcl(&dev_, cloud.data(), 64, dist.data(), 12, 4, 3, &flat), 0);
    EXPECT_TRUE(logged("[nivex_frame_get_pcl] unusable lens parameters"));
}

TEST_F(PointCloudTest, DriverIntrinsicsAreScaledToTheImage) {
    TestDriver driver;
    DriverOverride use(dev_, driver);
    std::vector<float> dist(160 * 120, 0.0f);
    dist[60 * 160 + 100] = 2.0f;
    ASSERT_EQ(pcl(dist, 160, 120, nullptr), 1);
    nivex_lens_param half = {static_cast<float>(nx::kDefaultLensParam.cx / 2),
                             static_cast<float>(nx::kDefaultLensParam.cy / 2),
                             static_cast<float>(nx::kDefaultLensParam.fx / 2),
                             static_cast<float>(nx::kDefaultLensParam.fy / 2), 1};
    const Point p = project(100, 60, 2.0, half);
    EXPECT_NEAR(out_[0], p.x, 1e-5);
    EXPECT_NEAR(out_[1], p.y, 1e-5);
    EXPECT_NEAR(out_[2], p.z, 1e-5);

    // A size that does not divide the lens image: no cloud, and no message
    // from the conversion (the driver tells why).
    dist.assign(300 * 240, 1.0f);
    EXPECT_EQ(pcl(dist, 300, 240, nullptr), 0);
    EXPECT_EQ(driver.lens_calls, 2);
    EXPECT_FALSE(logged("[nivex_frame_get_pcl]"));
}

TEST_F(PointCloudTest, TiCamerasNeedTheCallersLens) {
    const std::vector<float> dist(4, 1.0f);
    EXPECT_EQ(pcl(dist, 2, 2, nullptr), 0);
    EXPECT_TRUE(logged("[nivex_frame_get_pcl] Cannot generate PCL: no lens parameter in driver."));
    EXPECT_EQ(xyzd(dist, 2, 2, true, nullptr), 0);
    EXPECT_TRUE(
        logged("[nivex_frame_get_pcl_xyzd] Cannot generate PCL: no lens parameter in driver."));
    const nivex_lens_param lens = {1, 1, 100, 100, 1};
    EXPECT_EQ(pcl(dist, 2, 2, &lens), 4);
}

TEST_F(PointCloudTest, ClosedDevicesGiveNoCloud) {
    const nivex_lens_param lens = {1, 1, 100, 100, 1};
    const std::vector<float> dist(4, 1.0f);
    std::vector<float> cloud(12);
    EXPECT_EQ(nivex_frame_get_pcl(nullptr, cloud.data(), 12, dist.data(), 4, 2, 2, &lens), 0);
    nivex_device never_opened{};
    EXPECT_EQ(nivex_frame_get_pcl(&never_opened, cloud.data(), 12, dist.data(), 4, 2, 2, &lens), 0);
    nivex_dev_close(&dev_);
    EXPECT_EQ(nivex_frame_get_pcl_xyzd(&dev_, cloud.data(), 12, dist.data(), 4, 2, 2, true, &lens),
              0);
    EXPECT_EQ(count_lines(log_text(), "Device handler Is NULL!"), 2);
}

// The pseudo-colour follows the range of the last colour-image call, in
// millimetres of the scaled distance.
TEST_F(PointCloudTest, PseudoColourUsesTheLastColourRange) {
    nx_cmap ref{};
    ASSERT_TRUE(nx_cmap_init(&ref, 30000));
    const nivex_lens_param lens = {0, 0, 100, 100, 2};
    const std::vector<float> dist = {0.6f, 0.9f, 1.2f, 1.7f, 2.5f, 65.4f};
    for (auto [lo, hi] : {std::pair{1.0f, 3.0f}, {4.0f, 0.5f}}) {
        ASSERT_EQ(nivex_cmap_float(nullptr, 0, nullptr, 0, NIVEX_CMAP_OUTFMT_3B, lo, hi), 0);
        nx_cmap_set_range(&ref, static_cast<int>(lo * 1000), static_cast<int>(hi * 1000));
        ASSERT_EQ(xyzd(dist, 6, 1, true, &lens), 5);
        for (int n = 0; n < 5; ++n) {
            const int mm = static_cast<int>(dist[static_cast<size_t>(n)] * 2.0f * 1000.0f);
            EXPECT_EQ(out_[4 * static_cast<size_t>(n) + 3],
                      static_cast<float>(nx_cmap_get_color(&ref, mm)))
                << lo << " " << n;
        }
    }
    nx_cmap_uninit(&ref);
}

}  // namespace
}  // namespace nxtest
