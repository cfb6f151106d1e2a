#include "conversion/conversion_fixture.h"

#include <algorithm>
#include <cmath>

#include "api/session.h"

namespace nxtest {

namespace {

TestDriver *g_driver = nullptr;  // the driver of the DriverOverride alive

int32_t test_decode(chip_driver *, uint16_t *dst, uint32_t dst_bytes, int kind, const uint8_t *,
                    uint32_t, const nivex_frame_meta *) {
    TestDriver &d = *g_driver;
    ++d.decode_calls;
    d.last_kind = kind;
    d.last_dst_bytes = dst_bytes;
    d.last_dst = dst;
    if (d.decode_result) return *d.decode_result;
    const size_t n = std::min<size_t>(d.codes.size(), dst_bytes / 2);
    std::copy_n(d.codes.begin(), n, dst);
    return static_cast<int32_t>(2 * n);
}

bool test_lens(chip_driver *, epc_lens_param *out, int width, int height) {
    TestDriver &d = *g_driver;
    ++d.lens_calls;
    if (width < 1 || height < 1 || d.lens.img_w % width != 0 || d.lens.img_h % height != 0)
        return false;
    const int kx = d.lens.img_w / width, ky = d.lens.img_h / height;
    *out = d.lens;
    out->cx /= kx;
    out->fx /= kx;
    out->cy /= ky;
    out->fy /= ky;
    out->img_w = width;
    out->img_h = height;
    return true;
}

bool test_enable(chip_driver *, int id, nivex_filter_args *arg, uint32_t arg_size) {
    g_driver->filter_calls.push_back({true, id, arg, arg_size});
    if (id == NIVEX_FILTER_PIXEL_CALIB && arg->calib_mode > 1) arg->calib_mode = 1;
    return g_driver->filter_result;
}

bool test_disable(chip_driver *, int id) {
    g_driver->filter_calls.push_back({false, id, nullptr, 0});
    return g_driver->filter_result;
}

// Each open device drives its own copy of its registry row.
chip_driver *driver_of(const nivex_device &dev) {
    const nx::SessionRef session = nx::session_of(&dev);
    return session ? session->drv : nullptr;
}

}  // namespace

DriverOverride::DriverOverride(const nivex_device &dev, TestDriver &driver)
    : row_(driver_of(dev)), saved_(row_ ? row_->ops : nullptr) {
    g_driver = &driver;
    if (saved_) ops_ = *saved_;
    ops_.frame_decode = driver.has_decode ? test_decode : nullptr;
    ops_.lens_param_get = driver.has_lens ? test_lens : nullptr;
    ops_.filter_enable = driver.has_filters ? test_enable : nullptr;
    ops_.filter_disable = driver.has_filters ? test_disable : nullptr;
    if (row_) row_->ops = &ops_;
}

DriverOverride::~DriverOverride() {
    if (row_) row_->ops = saved_;
    g_driver = nullptr;
}

void ConversionTest::SetUp() {
    SimTest::SetUp();
    camera_ = add_camera(kTiProduct);
    ASSERT_NE(open_first(), nullptr);
}

nivex_frame_meta ConversionTest::meta(uint32_t w, uint32_t h, uint32_t frame_size) {
    nivex_frame_meta m{};
    m.width = w;
    m.height = h;
    m.frame_size = frame_size;
    m.pixel_bytes = 4;
    return m;
}

std::vector<uint8_t> ConversionTest::snapshot(nivex_frame_meta &info) {
    std::vector<uint8_t> frame(NIVEX_FRAME_SLOT_SIZE);
    EXPECT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 4 * NIVEX_FRAME_SLOT_SIZE));
    EXPECT_TRUE(
        nivex_cap_snapshot(&dev_, frame.data(), static_cast<uint32_t>(frame.size()), &info));
    frame.resize(info.frame_size);
    return frame;
}

PlaneFit fit_plane(const std::vector<float> &cloud, int points, double wall) {
    double s[3][3] = {}, t[3] = {};
    for (int i = 0; i < points; ++i) {
        const double p[3] = {1, cloud[3 * i], cloud[3 * i + 1]};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                s[r][c] += p[r] * p[c];
            t[r] += p[r] * cloud[3 * i + 2];
        }
    }
    // Cramer's rule on the normal equations.
    auto det = [](const double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    };
    double coef[3];
    for (int k = 0; k < 3; ++k) {
        double m[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                m[r][c] = c == k ? t[r] : s[r][c];
        coef[k] = det(m) / det(s);
    }
    double sq = 0;
    for (int i = 0; i < points; ++i) {
        const double e =
            cloud[3 * i + 2] - (coef[0] + coef[1] * cloud[3 * i] + coef[2] * cloud[3 * i + 1]);
        sq += e * e;
    }
    return {(coef[0] - wall) * 1000, std::sqrt(sq / std::max(points, 1)) * 1000, coef[1], coef[2],
            points};
}

int count_lines(const std::string &log, const std::string &text) {
    int n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++n;
    return n;
}

}  // namespace nxtest
