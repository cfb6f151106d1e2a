// The pixel routines the decode runs give bit for bit what the scalar
// reference gives, on random frames and on the pixels where the arithmetic
// turns: axes, diagonals, the ends of the sample range, odd pixel counts.
#include <gtest/gtest.h>

#include <random>

#include "drivers/epc/epc_pixel.h"
#include "epc_fixture.h"

namespace epctest {
namespace {

using nx::epc::DrnuCalib;
using nx::epc::LinearCalib;

const uint8_t *bytes(const Image &raw) {
    return reinterpret_cast<const uint8_t *>(raw.data());
}

Image random_frame(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> word(0, 0xFFFF), sample(0, 4095), kind(0, 9);
    return make_raw(n, [&](size_t) {
        Samples s;
        const int k = kind(rng);
        for (uint16_t &v : s)
            v = static_cast<uint16_t>(k == 0 ? word(rng) : sample(rng));
        return s;
    });
}

// Pixels on the axes and diagonals of the (DCS2 - DCS0, DCS3 - DCS1) plane.
Image turning_points() {
    std::vector<Samples> pixels;
    for (int a = -4094; a <= 4094; a += 13) {
        const auto lo = uint16_t(std::max(1, 1 - a)), hi = uint16_t(std::max(1, 1 - a) + a);
        const auto mid = uint16_t(2048);
        pixels.push_back({lo, mid, hi, mid});                              // b = 0
        pixels.push_back({mid, lo, mid, hi});                              // a = 0
        pixels.push_back({lo, lo, hi, hi});                                // b = a
        pixels.push_back({lo, hi, hi, lo});                                // b = -a
        pixels.push_back({lo, uint16_t(lo + 1), hi, uint16_t(hi)});        // b = a - 1
        pixels.push_back({lo, uint16_t(std::min(4095, hi + 1)), hi, lo});  // near -a
    }
    while (pixels.size() % 4 != 0)
        pixels.push_back({2048, 2048, 2048, 2048});
    return make_raw(pixels.size(), [&](size_t i) { return pixels[i]; });
}

void expect_same(const Image &raw, size_t n, const LinearCalib &line, const DrnuCalib &drnu) {
    Image a(n), b(n), c(n), d(n);
    nx::epc::gray(bytes(raw), n, a.data());
    nx::epc::scalar::gray(bytes(raw), n, b.data());
    ASSERT_EQ(a, b);
    nx::epc::distance_linear(bytes(raw), n, line, a.data(), c.data());
    nx::epc::scalar::distance_linear(bytes(raw), n, line, b.data(), d.data());
    ASSERT_EQ(a, b);
    ASSERT_EQ(c, d);
    if (drnu.lut == nullptr) return;
    nx::epc::distance_drnu(bytes(raw), n, drnu, a.data(), c.data());
    nx::epc::scalar::distance_drnu(bytes(raw), n, drnu, b.data(), d.data());
    ASSERT_EQ(a, b);
    ASSERT_EQ(c, d);
}

TEST(PixelVector, RandomFramesGiveTheScalarResults) {
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> entry(0, 30000);
    const int k = 30;
    std::vector<uint16_t> lut(kPixels * k);
    for (size_t p = 0; p < kPixels; ++p) {
        // Rising tables, some flat segments, some falling ones.
        int v = entry(rng) / 4;
        for (int i = 0; i < k; ++i) {
            lut[p * k + size_t(i)] = uint16_t(v);
            v += (p % 11 == 0) ? -37 : (i % 9 == 0 ? 0 : 700);
            v = std::clamp(v, 0, 65535);
        }
    }
    const DrnuCalib drnu{12491, 3.7f, 715.9f, 708, lut.data(), k};
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        const LinearCalib line{12491, 990 + int32_t(seed) * 7, -60 + int32_t(seed) * 40};
        expect_same(random_frame(kPixels, seed), kPixels, line, drnu);
    }
    // A falling line: negative products divide toward zero.
    expect_same(random_frame(kPixels, 7), kPixels, {12491, -1000, 15000}, {});
    // Frames whose pixel count leaves lanes over.
    for (size_t n : {size_t{4}, size_t{12}, size_t{260}, kPixels - 4})
        expect_same(random_frame(n, 99), n, {6245, 1000, 0}, {});
}

TEST(PixelVector, AxesDiagonalsAndRangeEndsGiveTheScalarResults) {
    const Image raw = turning_points();
    const size_t n = raw.size() / 4;
    expect_same(raw, n, {12491, 1000, -50}, {});
    expect_same(raw, n, {4163, 1003, 120}, {});  // 36 MHz
}

}  // namespace
}  // namespace epctest
