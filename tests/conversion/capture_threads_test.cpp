// Conversions on application threads while another thread runs the capture
// of the same camera: each frame converts as it would alone.
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "conversion/conversion_fixture.h"

namespace nxtest {
namespace {

constexpr int kPixels = 320 * 240;

// The TI distance of every pixel of a raw frame, from its phase word.
bool distances_match(const std::vector<uint8_t> &raw, const std::vector<float> &dist) {
    for (int i = 0; i < kPixels; ++i) {
        uint32_t word;
        std::memcpy(&word, raw.data() + 4 * i, 4);
        const double metres = ((word >> 16) & 0xFFF) / 4096.0 * 3.122838;
        if (std::abs(dist[static_cast<size_t>(i)] - metres) > 0.0006) return false;
    }
    return true;
}

class ConversionThreadsTest : public ConversionTest {};

TEST_F(ConversionThreadsTest, FramesConvertWhileTheCaptureRuns) {
    camera_.set_frame_rate(200);
    ASSERT_TRUE(nivex_cap_set_frame_buffer(&dev_, nullptr, 8 * NIVEX_FRAME_SLOT_SIZE));
    ASSERT_TRUE(nivex_cap_start(&dev_));

    std::mutex latest_mutex;
    std::vector<uint8_t> latest;  // guarded by latest_mutex
    nivex_frame_meta latest_info{};
    std::atomic<bool> stop{false};
    std::atomic<int> fetched{0};
    std::thread fetcher([&] {
        std::vector<uint8_t> buf(NIVEX_FRAME_SLOT_SIZE);
        while (!stop.load()) {
            nivex_frame_meta info{};
            const int n = nivex_cap_get_frames(&dev_, 1, buf.data(),
                                               static_cast<uint32_t>(buf.size()), &info);
            if (n < 0) break;
            if (n == 0) continue;
            std::lock_guard lock(latest_mutex);
            latest.assign(buf.begin(), buf.begin() + info.frame_size);
            latest_info = info;
            fetched.fetch_add(1);
        }
    });

    std::atomic<int> converted{0}, wrong{0};
    auto converter = [&] {
        std::vector<float> dist(kPixels), gray(kPixels), cloud(3 * kPixels);
        std::vector<uint8_t> colours(3 * kPixels);
        const nivex_lens_param lens = {160, 120, 200, 200, 1};
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (converted.load() < 40 && std::chrono::steady_clock::now() < deadline) {
            std::vector<uint8_t> raw;
            nivex_frame_meta info{};
            {
                std::lock_guard lock(latest_mutex);
                raw = latest;
                info = latest_info;
            }
            if (raw.empty()) {
                std::this_thread::yield();
                continue;
            }
            const int len = static_cast<int>(raw.size());
            bool ok = nivex_frame_get_distance(&dev_, dist.data(), kPixels, raw.data(), len,
                                               &info) == kPixels;
            ok = ok && nivex_frame_get_gray(&dev_, gray.data(), kPixels, raw.data(), len, &info) ==
                           kPixels;
            ok = ok && distances_match(raw, dist);
            ok = ok && nivex_frame_get_pcl(&dev_, cloud.data(), 3 * kPixels, dist.data(), kPixels,
                                           320, 240, &lens) > 0;
            ok = ok && nivex_cmap_float(colours.data(), 3 * kPixels, dist.data(), kPixels,
                                        NIVEX_CMAP_OUTFMT_3B, 0.5f, 3.0f) == kPixels;
            ok = ok && nivex_filter_disable(&dev_, NIVEX_FILTER_MIN_AMP) == 1;
            wrong.fetch_add(ok ? 0 : 1);
            converted.fetch_add(1);
        }
    };
    std::thread second(converter);
    converter();
    second.join();
    stop.store(true);
    EXPECT_TRUE(nivex_cap_stop(&dev_));
    fetcher.join();
    EXPECT_GE(converted.load(), 40);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(fetched.load(), 0);
}

// A close on another thread ends the device's conversions cleanly: each
// call either converts or is refused, none crashes.
TEST_F(ConversionThreadsTest, CloseWhileConverting) {
    nivex_frame_meta info{};
    const std::vector<uint8_t> raw = snapshot(info);
    std::atomic<bool> started{false};
    std::atomic<int> refused{0};
    std::thread converter([&] {
        std::vector<float> dist(kPixels);
        for (int round = 0; round < 100000 && refused.load() == 0; ++round) {
            const int n = nivex_frame_get_distance(&dev_, dist.data(), kPixels, raw.data(),
                                                   static_cast<int>(raw.size()), &info);
            started.store(true);
            if (n == 0)
                refused.fetch_add(1);
            else if (n != kPixels)
                refused.fetch_add(1000);
        }
    });
    while (!started.load())
        std::this_thread::yield();
    nivex_dev_close(&dev_);
    converter.join();
    EXPECT_EQ(refused.load(), 1);
}

}  // namespace
}  // namespace nxtest
