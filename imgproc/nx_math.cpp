// Fixed-point arctangent and bit-trick square roots.
#include "imgproc/nx_math.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "imgproc/atan2_lut_table.h"

namespace {

constexpr int kFullTurn = 30000;
constexpr int kHalfTurn = 15000;
constexpr int kQuarterTurn = 7500;
constexpr int kEighthTurn = 3750;
constexpr int kLutBits = 12;

std::array<uint16_t, ARCTAN2_LUT_NUM> g_runtime_lut{};

// Entry i of a table of n: atan2(i, n - 1) in 1/30000 turns, halves away from zero.
uint16_t lut_value(int i, int n) {
    double angle = std::atan2(static_cast<double>(i), static_cast<double>(n - 1));
    return static_cast<uint16_t>(std::lround(angle * 30000.0 / (2.0 * std::numbers::pi)));
}

// Reduces (y, x) to the first octant and adds the table's angle. 64-bit
// intermediates keep every 32-bit input free of overflow.
template <typename Table>
int atan2_on(const Table &table, int64_t y, int64_t x) {
    if (y == 0) return x < 0 ? kHalfTurn : 0;
    int base = 0;
    if (y < 0) {
        y = -y;
        x = -x;
        if (x > 0) {
            base = kHalfTurn;
        } else {
            base = kHalfTurn + kQuarterTurn;
            int64_t old_y = y;
            y = -x;
            x = old_y;
        }
    } else if (x <= 0) {
        base = kQuarterTurn;
        int64_t old_y = y;
        y = -x;
        x = old_y;
    }
    if (y >= x) {
        base += kEighthTurn;
        int64_t old_y = y;
        y = old_y - x;
        x = old_y + x;
    }
    int angle = base + table[static_cast<size_t>((y << kLutBits) / x)];
    // Only inputs far beyond 12 bits reach a full turn; it is angle 0.
    return angle < kFullTurn ? angle : angle - kFullTurn;
}

}  // namespace

extern "C" {

int nx_math_atan2_i32(int32_t y, int32_t x) {
    return atan2_on(g_atan2_LUT, y, x);
}

int atan2_lut(int32_t y, int32_t x) {
    return atan2_on(g_runtime_lut, y, x);
}

int atan2lut_Init(void) {
    for (int i = 0; i < ARCTAN2_LUT_NUM; ++i)
        g_runtime_lut[i] = lut_value(i, ARCTAN2_LUT_NUM);
    return 0;
}

float nx_math_sqrtf(float x) {
    float g = std::bit_cast<float>((std::bit_cast<uint32_t>(x) >> 1) + 0x1FBFFB72u);
    g = 0.5f * g + 0.5f * x / g;
    return 0.5f * g + 0.5f * x / g;
}

float nx_math_inv_sqrtf(float x) {
    int32_t bits = std::bit_cast<int32_t>(x);
    float y = std::bit_cast<float>(0x5F375A86 - (bits >> 1));
    float half = 0.5f * x;
    return y * (1.5f - half * y * y);
}

void nx_math_lut_print_arctan2(int n) {
    std::printf("#define ARCTAN2_LUT_NUM %d\n", n);
    std::printf("static const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM] = {\n");
    for (int i = 0; i < n; ++i) {
        std::printf("%u, ", static_cast<unsigned>(lut_value(i, n)));
        if ((i & 0xF) == 0xF) std::printf("\n    ");
    }
    if (n > 0 && n % 16 != 0) std::printf("\n");
    std::printf("};\n");
}

}  // extern "C"
