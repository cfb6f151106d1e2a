// Straightforward reference versions of the depth filters, test images and a
// log capture, for the filter suites.
#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "common/nx_log.h"
#include "support/test_support.h"

namespace filtertest {

using Image = std::vector<uint16_t>;

inline uint16_t at(const Image &img, int w, int h, int x, int y) {
    x = std::clamp(x, 0, w - 1);
    y = std::clamp(y, 0, h - 1);
    return img[static_cast<size_t>(y) * w + x];
}

// The k x k window around (x, y) under the border rule, row by row.
inline std::vector<uint16_t> window(const Image &img, int w, int h, int x, int y, int k) {
    std::vector<uint16_t> v;
    int r = k / 2;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            v.push_back(at(img, w, h, x + dx, y + dy));
    return v;
}

template <class F>
Image per_pixel(int w, int h, F &&f) {
    Image out(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out[static_cast<size_t>(y) * w + x] = f(x, y);
    return out;
}

inline Image ref_median(const Image &src, int w, int h, int k) {
    return per_pixel(w, h, [&](int x, int y) {
        auto v = window(src, w, h, x, y, k);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    });
}

inline Image ref_box(const Image &src, int w, int h) {
    return per_pixel(w, h, [&](int x, int y) {
        auto v = window(src, w, h, x, y, 3);
        uint32_t sum = 0;
        for (size_t i = 0; i < v.size(); ++i)
            if (i != 4) sum += v[i];
        return static_cast<uint16_t>(sum >> 3);
    });
}

inline Image ref_gauss(const Image &src, int w, int h) {
    static const uint32_t weight[9] = {1, 2, 1, 2, 4, 2, 1, 2, 1};
    return per_pixel(w, h, [&](int x, int y) {
        auto v = window(src, w, h, x, y, 3);
        uint32_t sum = 0;
        for (size_t i = 0; i < 9; ++i)
            sum += weight[i] * v[i];
        return static_cast<uint16_t>(sum >> 4);
    });
}

inline Image ref_flypix(const Image &src, int w, int h, uint32_t threshold) {
    return per_pixel(w, h, [&](int x, int y) {
        auto q = [&](int dx, int dy) -> int64_t { return at(src, w, h, x + dx, y + dy) / 4; };
        int64_t gx = q(1, -1) + q(1, 1) + 2 * (q(1, 0) - q(-1, 0)) - q(-1, -1) - q(-1, 1);
        int64_t gy = q(-1, 1) + q(1, 1) + 2 * (q(0, 1) - q(0, -1)) - q(-1, -1) - q(1, -1);
        bool steep = static_cast<uint64_t>(gx * gx + gy * gy) > (threshold >> 4);
        return steep ? uint16_t{0} : at(src, w, h, x, y);
    });
}

inline Image ref_fhole(const Image &src, int w, int h, int k) {
    return per_pixel(w, h, [&](int x, int y) {
        auto v = window(src, w, h, x, y, k);
        uint16_t centre = v[v.size() / 2];
        if (static_cast<int16_t>(centre) > 0) return centre;
        int16_t best = INT16_MIN;
        for (size_t i = 0; i < v.size(); ++i)
            if (i != v.size() / 2) best = std::max(best, static_cast<int16_t>(v[i]));
        return static_cast<uint16_t>(best);
    });
}

// Distances with runs of equal values, zeros, the three marker codes and the
// occasional sample anywhere in 0..65535.
inline Image depth_image(int w, int h, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> kind(0, 19);
    std::uniform_int_distribution<int> near(500, 540);
    std::uniform_int_distribution<int> any(0, 65535);
    std::uniform_int_distribution<int> distance(1, 7000);
    static const uint16_t markers[] = {0, 65300, 65400, 65500};
    Image img(static_cast<size_t>(w) * h);
    for (uint16_t &p : img) {
        int k = kind(rng);
        if (k < 8) {
            p = static_cast<uint16_t>(near(rng));
        } else if (k < 14) {
            p = static_cast<uint16_t>(distance(rng));
        } else if (k < 17) {
            p = markers[k - 14 + (any(rng) & 1)];
        } else {
            p = static_cast<uint16_t>(any(rng));
        }
    }
    return img;
}

inline Image flat(int w, int h, uint16_t value) {
    return Image(static_cast<size_t>(w) * h, value);
}

// Image sizes that cover the vector width, its tails, tiny images and images
// wider than one strip of scratch columns.
struct Size {
    int w, h;
};
inline const std::vector<Size> &test_sizes() {
    static const std::vector<Size> sizes = {{2, 2},  {3, 2},     {2, 7},   {5, 5},
                                            {16, 3}, {17, 4},    {31, 9},  {33, 16},
                                            {64, 5}, {320, 240}, {513, 3}, {1100, 6}};
    return sizes;
}

// Sanitizer allocators end the process on exhaustion instead of failing the
// allocation, so out-of-memory tests cannot run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedAllocator = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizedAllocator = true;
#else
inline constexpr bool kSanitizedAllocator = false;
#endif
#else
inline constexpr bool kSanitizedAllocator = false;
#endif

// Runs f with the address space capped at 4 GB, so that huge allocations
// fail; false when the cap cannot be set.
template <class F>
bool with_capped_memory(F &&f) {
    rlimit old{};
    if (getrlimit(RLIMIT_AS, &old) != 0) return false;
    rlimit capped = old;
    capped.rlim_cur = 4ull << 30;
    if (setrlimit(RLIMIT_AS, &capped) != 0) return false;
    f();
    setrlimit(RLIMIT_AS, &old);
    return true;
}

// Collects the library's log lines at ERR level while it lives.
class LogCapture {
  public:
    LogCapture() {
        nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_OFF, nullptr);
        nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_ERR, path_.c_str());
    }
    ~LogCapture() {
        nx_log_disable();
        nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_WRN, nullptr);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string text() const { return nxtest::read_file(path_); }

  private:
    nxtest::TempDir dir_;
    std::string path_ = dir_.file("filters.log");
};

}  // namespace filtertest
