// Medians of every size against a sort-based reference.
#include <gtest/gtest.h>

#include "filter_reference.h"
#include "imgproc/nx_filter.h"

namespace {

using filtertest::Image;
using filtertest::LogCapture;

TEST(Median, FixedSizesMatchSortReference) {
    for (const auto &[w, h] : filtertest::test_sizes()) {
        for (uint32_t seed : {1u, 2u}) {
            Image src = filtertest::depth_image(w, h, seed * 1000 + w + h);
            for (int k : {3, 5}) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << " k=" << k);
                Image want = filtertest::ref_median(src, w, h, k);
                Image fixed(src.size(), 1), general(src.size(), 2);
                (k == 3 ? nx_median2d_u16_k3 : nx_median2d_u16_k5)(fixed.data(), src.data(), w, h);
                nx_median2d_u16(general.data(), src.data(), w, h, k);
                EXPECT_EQ(fixed, want);
                EXPECT_EQ(general, want);
            }
        }
    }
}

TEST(Median, RunningMedianMatchesSortReference) {
    struct Case {
        int w, h, k;
    };
    for (const Case &c : {Case{4, 4, 7}, Case{9, 6, 7}, Case{23, 17, 9}, Case{40, 31, 11},
                          Case{6, 30, 11}, Case{57, 9, 9}}) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " k=" << c.k);
        Image src = filtertest::depth_image(c.w, c.h, static_cast<uint32_t>(c.w * c.k));
        Image out(src.size(), 7);
        nx_median2d_u16(out.data(), src.data(), c.w, c.h, c.k);
        EXPECT_EQ(out, filtertest::ref_median(src, c.w, c.h, c.k));
    }
}

TEST(Median, KernelSizeRefusals) {
    Image src = filtertest::depth_image(4, 6, 3);
    struct Case {
        int w, h, k;
        const char *message;
    };
    for (const Case &c : {Case{4, 6, 4, "[nx_median2d_u16]  wrong parameter:w/h/kernel=4/6/4\n"},
                          Case{4, 6, 1, "[nx_median2d_u16]  wrong parameter:w/h/kernel=4/6/1\n"},
                          Case{4, 6, -3, "[nx_median2d_u16]  wrong parameter:w/h/kernel=4/6/-3\n"},
                          Case{4, 6, 9, "[nx_median2d_u16]  wrong parameter:w/h/kernel=4/6/9\n"},
                          Case{6, 4, 9, "[nx_median2d_u16]  wrong parameter:w/h/kernel=6/4/9\n"}}) {
        LogCapture log;
        Image out(src.size(), 4242);
        nx_median2d_u16(out.data(), src.data(), c.w, c.h, c.k);
        EXPECT_EQ(out, Image(src.size(), 4242)) << c.k;
        EXPECT_NE(log.text().find(c.message), std::string::npos) << log.text();
    }
    // 7 < 2 * 4: accepted on a 4x4 image.
    Image small = filtertest::depth_image(4, 4, 5), out(16, 1);
    nx_median2d_u16(out.data(), small.data(), 4, 4, 7);
    EXPECT_EQ(out, filtertest::ref_median(small, 4, 4, 7));
}

TEST(Median, ImagesBelowTwoByTwoAreRefused) {
    Image src(8, 1000);
    for (auto [w, h] : {std::pair{1, 8}, std::pair{8, 1}, std::pair{0, 0}}) {
        LogCapture log;
        Image out(8, 9);
        nx_median2d_u16_k3(out.data(), src.data(), w, h);
        nx_median2d_u16_k5(out.data(), src.data(), w, h);
        nx_median2d_u16(out.data(), src.data(), w, h, 5);
        nx_median2d_u16(out.data(), src.data(), w, h, 7);
        EXPECT_EQ(out, Image(8, 9));
        std::string text = log.text();
        std::string wh = std::to_string(w) + "/" + std::to_string(h);
        EXPECT_NE(text.find("[nx_median2d_u16_k3]  wrong parameter:w/h=" + wh + "\n"),
                  std::string::npos);
        EXPECT_NE(text.find("[nx_median2d_u16_k5]  wrong parameter:w/h=" + wh + "\n"),
                  std::string::npos);
        EXPECT_NE(text.find("[nx_median2d_u16]  wrong parameter:w/h/kernel=" + wh + "/7\n"),
                  std::string::npos);
    }
}

TEST(Median, SingleMarkerPixelIsRemoved) {
    for (int k : {3, 5, 7}) {
        Image src = filtertest::flat(9, 9, 1000);
        src[4 * 9 + 4] = NX_PIXEL_LOW_AMP;
        Image out(src.size());
        nx_median2d_u16(out.data(), src.data(), 9, 9, k);
        EXPECT_EQ(out, filtertest::flat(9, 9, 1000)) << k;
    }
}

// A kernel whose k*k nodes cannot even be sized: refused with the allocation
// message, nothing written, and the (tiny) source never read.
TEST(Median, UnallocatableKernelIsReportedNotFatal) {
    LogCapture log;
    Image src(4, 1), out(4, 77);
    int side = 1 << 30;
    nx_median2d_u16(out.data(), src.data(), side, side, 0x7FFFFFFF);
    EXPECT_EQ(out, Image(4, 77));
    EXPECT_NE(log.text().find("[nx_median2d_u16] malloc failed\n"), std::string::npos);
}

// The same when the memory really runs out (address space capped).
TEST(Median, OutOfMemoryIsReportedNotFatal) {
    if (filtertest::kSanitizedAllocator) GTEST_SKIP() << "sanitizer allocator";
    LogCapture log;
    Image src(4, 1), out(4, 77);
    ASSERT_TRUE(filtertest::with_capped_memory([&] {
        nx_median2d_u16(out.data(), src.data(), 30000, 30000, 20001);  // 12.8 GB of nodes
    }));
    EXPECT_EQ(out, Image(4, 77));
    EXPECT_NE(log.text().find("[nx_median2d_u16] malloc failed\n"), std::string::npos);
}

}  // namespace
