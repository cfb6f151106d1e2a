// The 3x3 matrix helpers the lens maps are built with.
#include <gtest/gtest.h>

#include <cmath>

#include "imgproc/nx_mat3.h"

namespace {

nx::Mat3 product(const nx::Mat3 &a, const nx::Mat3 &b) {
    nx::Mat3 p;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                p(i, j) += a(i, k) * b(k, j);
    return p;
}

TEST(Mat3, InverseTimesMatrixIsIdentity) {
    nx::Mat3 a;
    nx::mat3_set(a, {2.0, -1.0, 0.5, 0.25, 3.0, -2.0, 1.0, 4.0, 7.0});
    nx::Mat3 inv;
    ASSERT_TRUE(nx::mat3_inverse(a, inv));
    nx::Mat3 id = nx::mat3_identity();
    for (const nx::Mat3 &p : {product(a, inv), product(inv, a)})
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(p.m[i], id.m[i], 1e-12) << i;

    // A camera matrix inverts to exact zeros off its pattern.
    nx::Mat3 k, kinv;
    nx::mat3_set(k, {210.0, 0.0, 157.0, 0.0, 204.0, 122.0, 0.0, 0.0, 1.0});
    ASSERT_TRUE(nx::mat3_inverse(k, kinv));
    EXPECT_DOUBLE_EQ(kinv(0, 0), 1.0 / 210.0);
    EXPECT_DOUBLE_EQ(kinv(0, 2), -157.0 / 210.0);
    EXPECT_EQ(kinv(0, 1), 0.0);
    EXPECT_EQ(kinv(2, 0), 0.0);
    EXPECT_EQ(kinv(2, 2), 1.0);
}

TEST(Mat3, SingularOrNonFiniteIsRefused) {
    nx::Mat3 rank2, out = nx::mat3_identity();
    nx::mat3_set(rank2, {1.0, 2.0, 3.0, 2.0, 4.0, 6.0, 0.0, 1.0, 1.0});
    EXPECT_FALSE(nx::mat3_inverse(rank2, out));
    EXPECT_FALSE(nx::mat3_inverse(nx::Mat3{}, out));
    nx::Mat3 nan = nx::mat3_identity();
    nan(1, 1) = std::nan("");
    EXPECT_FALSE(nx::mat3_inverse(nan, out));
    EXPECT_EQ(out.m, nx::mat3_identity().m);  // untouched
}

}  // namespace
