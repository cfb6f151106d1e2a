// The 3x3 matrix inverse the lens maps are built with.
#include <gtest/gtest.h>

#include <cmath>

#include "imgproc/mat3.h"

namespace {

TEST(Mat3, InverseOrRefusal) {
    nx::Mat3 a, inv;
    nx::mat3_set(a, {2.0, -1.0, 0.5, 0.25, 3.0, -2.0, 1.0, 4.0, 7.0});
    ASSERT_TRUE(nx::mat3_inverse(a, inv));
    nx::Mat3 id = nx::mat3_identity();
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double p = 0;
            for (int k = 0; k < 3; ++k)
                p += a(i, k) * inv(k, j);
            EXPECT_NEAR(p, id(i, j), 1e-12) << i << "," << j;
        }
    }
    nx::Mat3 rank2, nan = id, out = id;
    nx::mat3_set(rank2, {1.0, 2.0, 3.0, 2.0, 4.0, 6.0, 0.0, 1.0, 1.0});
    nan(1, 1) = std::nan("");
    EXPECT_FALSE(nx::mat3_inverse(rank2, out));
    EXPECT_FALSE(nx::mat3_inverse(nx::Mat3{}, out));
    EXPECT_FALSE(nx::mat3_inverse(nan, out));
    EXPECT_EQ(out.m, id.m);  // untouched
}

}  // namespace
