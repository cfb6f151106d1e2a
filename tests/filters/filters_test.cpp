// Box, Gaussian, flying-pixel and hole filters, and the smoothing chain.
#include <gtest/gtest.h>

#include "filter_reference.h"
#include "imgproc/nx_filter.h"

namespace {

using filtertest::Image;
using filtertest::LogCapture;

using Filter = void (*)(uint16_t *, const uint16_t *, int, int);

struct Named {
    const char *name;
    Filter run;
};

void flypix_default(uint16_t *dst, const uint16_t *src, int w, int h) {
    nx_flypix_u16_k3(dst, src, w, h, 90000);
}

const Named kFixedFilters[] = {
    {"nx_median2d_u16_k3", nx_median2d_u16_k3}, {"nx_median2d_u16_k5", nx_median2d_u16_k5},
    {"nx_box2d_u16_k3", nx_box2d_u16_k3},       {"nx_gauss2d_u16_k3", nx_gauss2d_u16_k3},
    {"nx_flypix_u16_k3", flypix_default},       {"nx_fhole_u16_k3", nx_fhole_u16_k3},
    {"nx_fhole_u16_k5", nx_fhole_u16_k5},
};

template <class Ref>
void expect_matches(Filter run, Ref &&ref, const char *what) {
    for (const auto &[w, h] : filtertest::test_sizes()) {
        for (uint32_t seed : {11u, 12u}) {
            SCOPED_TRACE(testing::Message() << what << " " << w << "x" << h << " seed " << seed);
            Image src = filtertest::depth_image(w, h, seed * 31 + w * 7 + h);
            Image out(src.size(), 3);
            run(out.data(), src.data(), w, h);
            ASSERT_EQ(out, ref(src, w, h));
        }
    }
}

TEST(Filters, MatchStraightforwardReferences) {
    expect_matches(nx_box2d_u16_k3, filtertest::ref_box, "box");
    expect_matches(nx_gauss2d_u16_k3, filtertest::ref_gauss, "gauss");
    expect_matches(
        nx_fhole_u16_k3,
        [](const Image &s, int w, int h) { return filtertest::ref_fhole(s, w, h, 3); }, "fhole3");
    expect_matches(
        nx_fhole_u16_k5,
        [](const Image &s, int w, int h) { return filtertest::ref_fhole(s, w, h, 5); }, "fhole5");
}

TEST(Filters, FlyingPixelsMatchReferenceAtEveryThreshold) {
    for (uint32_t threshold : {0u, 16u, 90000u, 4000000u, 0xFFFFFFFFu}) {
        for (const auto &[w, h] : filtertest::test_sizes()) {
            SCOPED_TRACE(testing::Message() << "T=" << threshold << " " << w << "x" << h);
            Image src = filtertest::depth_image(w, h, threshold ^ static_cast<uint32_t>(w * h));
            Image out(src.size(), 3);
            nx_flypix_u16_k3(out.data(), src.data(), w, h, threshold);
            ASSERT_EQ(out, filtertest::ref_flypix(src, w, h, threshold));
        }
    }
}

TEST(Filters, TooSmallImagesAreRefusedUntouched) {
    Image src(6, 500);
    for (const Named &f : kFixedFilters) {
        for (auto [w, h] : {std::pair{1, 6}, std::pair{6, 1}}) {
            LogCapture log;
            Image out(6, 9);
            f.run(out.data(), src.data(), w, h);
            EXPECT_EQ(out, Image(6, 9)) << f.name;
            std::string want = std::string("[") + f.name +
                               "]  wrong parameter:w/h=" + std::to_string(w) + "/" +
                               std::to_string(h) + "\n";
            EXPECT_NE(log.text().find(want), std::string::npos) << f.name << log.text();
        }
        LogCapture log;
        f.run(nullptr, src.data(), 2, 3);
        EXPECT_NE(log.text().find("wrong parameter:w/h=2/3"), std::string::npos) << f.name;
    }
}

TEST(Filters, LowAmplitudeMarkerInFlatField) {
    Image src = filtertest::flat(7, 7, 1000);
    src[3 * 7 + 3] = NX_PIXEL_LOW_AMP;
    Image out(src.size());

    nx_gauss2d_u16_k3(out.data(), src.data(), 7, 7);
    EXPECT_EQ(out[3 * 7 + 3], (12000 + 4 * 65300) / 16);  // 17075
    EXPECT_EQ(out[2 * 7 + 3], (14000 + 2 * 65300) / 16);  // spread to the neighbours
    EXPECT_EQ(out[0], 1000);

    nx_fhole_u16_k3(out.data(), src.data(), 7, 7);
    EXPECT_EQ(out, filtertest::flat(7, 7, 1000));
    nx_fhole_u16_k5(out.data(), src.data(), 7, 7);
    EXPECT_EQ(out, filtertest::flat(7, 7, 1000));
}

TEST(Filters, HoleFillingRanksHolesBySignedValue) {
    auto filled_centre = [](uint16_t centre, std::initializer_list<uint16_t> ring) {
        Image src = filtertest::flat(3, 3, 0);
        auto it = ring.begin();
        for (int i = 0; i < 9; ++i)
            src[i] = i == 4 ? centre : *it++;
        Image out(9);
        nx_fhole_u16_k3(out.data(), src.data(), 3, 3);
        return out[4];
    };
    const uint16_t lo = NX_PIXEL_LOW_AMP, sat = NX_PIXEL_SATURATED, ovf = NX_PIXEL_OVERFLOW;
    EXPECT_EQ(filled_centre(0, {lo, lo, lo, lo, lo, lo, lo, lo}), lo);
    EXPECT_EQ(filled_centre(0, {0, 0, 0, 0, 0, 0, 0, 0}), 0);
    EXPECT_EQ(filled_centre(lo, {lo, sat, lo, ovf, lo, lo, lo, lo}), ovf);
    EXPECT_EQ(filled_centre(ovf, {lo, sat, 0, ovf, lo, lo, lo, lo}), 0);
    EXPECT_EQ(filled_centre(ovf, {lo, sat, 0, 1, lo, lo, lo, lo}), 1);
    EXPECT_EQ(filled_centre(32768, {lo, 32767, 0, 5, lo, lo, lo, lo}), 32767);
    EXPECT_EQ(filled_centre(700, {lo, 9000, 0, 5, lo, lo, lo, lo}), 700);  // valid: kept
}

TEST(Filters, BoxMeanIgnoresTheCentre) {
    for (uint16_t centre : {uint16_t{0}, uint16_t{800}, uint16_t{65535}}) {
        Image src = filtertest::flat(3, 3, 800);
        src[4] = centre;
        Image out(9);
        nx_box2d_u16_k3(out.data(), src.data(), 3, 3);
        EXPECT_EQ(out[4], 800) << centre;
    }
}

// The centre of a 3x3 image, with the quartered neighbours given column by
// column (west, north, south, east; the corners copy their column's west or
// east value).
uint16_t flypix_centre(uint16_t west, uint16_t north, uint16_t south, uint16_t east,
                       uint32_t threshold) {
    Image src = {west, north, east, west, 1000, east, west, south, east};
    Image out(9);
    nx_flypix_u16_k3(out.data(), src.data(), 3, 3, threshold);
    return out[4];
}

TEST(Filters, FlyingPixelThresholdLimits) {
    // Quarter values: gx = 4 * 4096 = 16384 squares to exactly 2^28.
    EXPECT_EQ(flypix_centre(0, 0, 0, 16384, 0xFFFFFFFFu), 0);
    EXPECT_EQ(flypix_centre(0, 0, 0, 16380, 0xFFFFFFFFu), 1000);  // 16380^2 < 2^28 - 1
    // Flat neighbourhood: no gradient, kept even at threshold 0.
    EXPECT_EQ(flypix_centre(5, 5, 5, 5, 0), 1000);
    EXPECT_EQ(flypix_centre(0, 0, 0, 4, 0), 0);     // gx = 4
    EXPECT_EQ(flypix_centre(0, 0, 4, 0, 0), 0);     // gy = 2
    EXPECT_EQ(flypix_centre(0, 0, 0, 3, 0), 1000);  // 3 / 4 = 0: no gradient after quartering
    // gx = 65532 and gy = 726: the sum of squares passes 2^32 by 2804; a
    // 32-bit sum would wrap below 90000 / 16 and keep the pixel.
    EXPECT_EQ(flypix_centre(0, 0, 363 * 4, 65535, 90000), 0);
}

TEST(SmoothingChain, EqualsItsStagesAndReportsTheResultBuffer) {
    for (const auto &[w, h] :
         {filtertest::Size{320, 240}, filtertest::Size{19, 7}, filtertest::Size{2, 2}}) {
        Image src = filtertest::depth_image(w, h, static_cast<uint32_t>(w));
        Image staged = filtertest::ref_gauss(filtertest::ref_median(src, w, h, 5), w, h);
        Image plain = filtertest::ref_fhole(staged, w, h, 3);
        Image with_flypix =
            filtertest::ref_fhole(filtertest::ref_flypix(staged, w, h, 90000), w, h, 3);

        Image work = src, dst(src.size());
        uint16_t *result = nx::depth_smooth_chain(work.data(), dst.data(), w, h, false, 90000);
        EXPECT_EQ(result, dst.data());
        EXPECT_EQ(dst, plain);

        work = src;
        result = nx::depth_smooth_chain(work.data(), dst.data(), w, h, true, 90000);
        EXPECT_EQ(result, work.data());
        EXPECT_EQ(work, with_flypix);
    }
    Image one(5, 3), other(5, 4);
    EXPECT_EQ(nx::depth_smooth_chain(one.data(), other.data(), 1, 5, true, 90000), one.data());
    EXPECT_EQ(one, Image(5, 3));
    EXPECT_EQ(other, Image(5, 4));
}

}  // namespace
