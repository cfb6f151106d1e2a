// Colour map table and look-ups.
#include "imgproc/nx_cmap.h"

#include <memory>
#include <new>

extern "C" {
nx_cmap g_nx_cmap = {};
}

namespace {

constexpr int kDefaultRangeMax = 4000;

// A ramp value, rounded to single precision, truncated, low 8 bits.
uint32_t channel_byte(float value) {
    return static_cast<uint32_t>(static_cast<int>(value)) & 0xFF;
}

// Rises over [start, start + 0.25), stays at 255, falls from fall_start.
uint32_t blue_of(float t) {
    if (t < -0.375f) return 0;
    if (t < -0.125f) return channel_byte((t + 0.375f) * 255.0f * 4.0f);
    if (t < 0.125f) return 255;
    if (t < 0.375f) return channel_byte((t - 0.125f) * -255.0f * 4.0f + 255.0f);
    return 0;
}

uint32_t green_of(float t) {
    if (t < -0.125f) return 0;
    if (t < 0.125f) return channel_byte((t + 0.125f) * 255.0f * 4.0f);
    if (t < 0.375f) return 255;
    if (t < 0.75f) return channel_byte((t - 0.375f) * -255.0f / 0.375f + 255.0f);
    return 0;
}

uint32_t red_of(float t) {
    if (t < 0.125f) return 0;
    if (t < 0.375f) return channel_byte((t - 0.125f) * 255.0f * 4.0f);
    if (t < 0.625f) return 255;
    if (t < 1.125f) return channel_byte(2.0f * (t - 0.625f) * -255.0f + 255.0f);
    return 0;
}

uint32_t ramp_entry(int i, int n) {
    float t = static_cast<float>(i) / static_cast<float>(n) - 0.25f;
    return blue_of(t) << 16 | green_of(t) << 8 | red_of(t);
}

}  // namespace

extern "C" {

bool nx_cmap_init(nx_cmap *cmap, int n) {
    if (cmap == nullptr) return false;
    cmap->size = n;
    cmap->range_min = 0;
    cmap->range_max = kDefaultRangeMax;
    cmap->index_scale = static_cast<float>(n) / kDefaultRangeMax;
    cmap->gray_scale = 255.0f / kDefaultRangeMax;
    cmap->table = nullptr;
    if (n <= 0) return false;
    std::unique_ptr<uint32_t[]> table;
    try {
        table = std::make_unique_for_overwrite<uint32_t[]>(static_cast<size_t>(n));
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int i = 0; i < n; ++i)
        table[i] = ramp_entry(i, n);
    // The record is a C structure; nx_cmap_uninit adopts the table back.
    cmap->table = table.release();
    return true;
}

void nx_cmap_uninit(nx_cmap *cmap) {
    if (cmap == nullptr || cmap->table == nullptr) return;
    std::unique_ptr<uint32_t[]> adopt(cmap->table);
    cmap->table = nullptr;
}

void nx_cmap_set_range(nx_cmap *cmap, int a, int b) {
    if (cmap == nullptr) return;
    long long d = static_cast<long long>(b) - a;
    if (d > 0) {
        cmap->range_min = a;
        cmap->range_max = b;
    } else if (d < 0) {
        cmap->range_min = b;
        cmap->range_max = a;
        d = -d;
    } else {
        d = 1;  // keep the range, but scale as if it were one unit wide
    }
    cmap->index_scale = static_cast<float>(cmap->size) / static_cast<float>(d);
    cmap->gray_scale = 255.0f / static_cast<float>(d);
}

uint32_t nx_cmap_get_color(const nx_cmap *cmap, int v) {
    static constexpr nx_cmap kNoMap = {};
    return nx::cmap_color(cmap != nullptr ? *cmap : kNoMap, v);
}

uint32_t nx_cmap_get_gray(const nx_cmap *cmap, int v) {
    if (v == NX_PIXEL_SATURATED) return nx::kColourSaturated;
    if (v == NX_PIXEL_OVERFLOW) return nx::kColourOverflow;
    if (cmap == nullptr) return 0;
    if (v > cmap->range_max) return 0xFFFFFF;
    if (v < cmap->range_min) return 0;
    // The product is formed in double precision: with a range of 1000 the
    // top value must give 254 (the float scale lies just below 0.255).
    double offset = static_cast<double>(static_cast<long long>(v) - cmap->range_min);
    uint32_t g = static_cast<uint32_t>(static_cast<long long>(offset * cmap->gray_scale)) & 0xFF;
    return g | g << 8 | g << 16;
}

}  // extern "C"
