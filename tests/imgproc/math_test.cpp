// Table arctangent and bit-trick square roots.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "imgproc/atan2_lut_table.h"
#include "imgproc/nx_math.h"

namespace {

constexpr double kUnitsPerRad = 30000.0 / (2.0 * std::numbers::pi);

double exact_units(int y, int x) {
    double a = std::atan2(static_cast<double>(y), static_cast<double>(x)) * kUnitsPerRad;
    return a < 0 ? a + 30000.0 : a;
}

// Distance between two angles on the circle of 30000 units.
double angle_error(int got, int y, int x) {
    double err = std::abs(got - exact_units(y, x));
    return std::min(err, 30000.0 - err);
}

TEST(Atan2, QuadrantsAndAxes) {
    EXPECT_EQ(nx_math_atan2_i32(1, 1), 3750);
    EXPECT_EQ(nx_math_atan2_i32(1, -1), 11250);
    EXPECT_EQ(nx_math_atan2_i32(-1, -1), 18750);
    EXPECT_EQ(nx_math_atan2_i32(-1, 1), 26250);
    EXPECT_EQ(nx_math_atan2_i32(5, 0), 7500);
    EXPECT_EQ(nx_math_atan2_i32(-5, 0), 22500);
    EXPECT_EQ(nx_math_atan2_i32(0, -5), 15000);
    EXPECT_EQ(nx_math_atan2_i32(0, 5), 0);
    EXPECT_EQ(nx_math_atan2_i32(0, 0), 0);
}

// Every pair of 12-bit sample differences the decode can produce.
TEST(Atan2, AccurateOverTheWhole12BitSquare) {
    double worst = 0;
    for (int y = -4095; y <= 4095; y += 3) {
        for (int x = -4095; x <= 4095; x += 1) {
            if (y == 0 && x == 0) continue;
            int got = nx_math_atan2_i32(y, x);
            ASSERT_GE(got, 0);
            ASSERT_LT(got, 30000);
            worst = std::max(worst, angle_error(got, y, x));
        }
    }
    EXPECT_LT(worst, 1.8);
}

TEST(Atan2, ExtremeInputsStayInRange) {
    const int32_t big[] = {INT32_MIN, INT32_MIN + 1, -65536, 65536, INT32_MAX};
    for (int32_t y : big) {
        for (int32_t x : big) {
            int got = nx_math_atan2_i32(y, x);
            EXPECT_GE(got, 0);
            EXPECT_LT(got, 30000);
            EXPECT_LT(angle_error(got, y, x), 2.0) << y << "," << x;
        }
    }
}

TEST(Atan2, RuntimeTableMatchesTheCompiledOne) {
    ASSERT_EQ(atan2lut_Init(), 0);
    for (int y = -300; y <= 300; y += 7) {
        for (int x = -300; x <= 300; x += 5)
            EXPECT_EQ(atan2_lut(y, x), nx_math_atan2_i32(y, x));
    }
}

std::string printed_table(int n) {
    testing::internal::CaptureStdout();
    nx_math_lut_print_arctan2(n);
    return testing::internal::GetCapturedStdout();
}

TEST(Atan2, CompiledTableIsWhatTheGeneratorPrints) {
    std::string text = printed_table(4096);
    std::string body = text.substr(text.find('{') + 1);
    std::istringstream values(body);
    std::vector<unsigned> printed;
    unsigned v;
    char comma;
    while (values >> v >> comma)
        printed.push_back(v);
    ASSERT_EQ(printed.size(), 4096u);
    for (size_t i = 0; i < printed.size(); ++i)
        ASSERT_EQ(printed[i], g_atan2_LUT[i]) << i;
    EXPECT_EQ(g_atan2_LUT[0], 0);
    EXPECT_EQ(g_atan2_LUT[4095], 3750);
}

TEST(Atan2, GeneratorLayout) {
    EXPECT_EQ(printed_table(0),
              "#define ARCTAN2_LUT_NUM 0\n"
              "static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n};\n");
    std::string sixteen = printed_table(16);
    EXPECT_EQ(sixteen.rfind("3750, \n    };\n"), sixteen.size() - 14);
    std::string seventeen = printed_table(17);
    EXPECT_NE(seventeen.find("\n    3750, \n};\n"), std::string::npos);
    EXPECT_EQ(seventeen.find("#define ARCTAN2_LUT_NUM 17\n"), 0u);
}

TEST(SquareRoot, KnownValues) {
    EXPECT_EQ(nx_math_sqrtf(4.0f), 2.0f);
    EXPECT_NEAR(nx_math_sqrtf(2.0f), 1.4142157f, 1e-7f);
    float zero = nx_math_sqrtf(0.0f);
    EXPECT_TRUE(std::isfinite(zero));
    EXPECT_NEAR(zero, 2.03e-20f, 0.01e-20f);
    EXPECT_NEAR(nx_math_inv_sqrtf(4.0f), 0.49915f, 1e-5f);
}

// Amplitudes come from sums of squared 12-bit differences divided by 4.
TEST(SquareRoot, RelativeErrorOverTheAmplitudeRange) {
    double worst = 0, worst_inv = 0;
    for (double x = 1.0; x < 8.4e6; x *= 1.0007) {
        float f = static_cast<float>(x);
        worst = std::max(worst, std::abs(nx_math_sqrtf(f) - std::sqrt(x)) / std::sqrt(x));
        worst_inv = std::max(worst_inv, std::abs(nx_math_inv_sqrtf(f) * std::sqrt(x) - 1.0));
    }
    EXPECT_LT(worst, 5e-6);      // two Heron steps
    EXPECT_LT(worst_inv, 2e-3);  // one Newton step
}

}  // namespace
