// The EPC frame decode as the conversion calls run it: the pipeline against
// the reference formulas, lengths and geometry it refuses, formats and kinds,
// HDR merge, range check and undistortion.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <thread>

#include "drivers/epc/epc_calibration.h"
#include "drivers/epc/epc_image_steps.h"
#include "epc_fixture.h"
#include "imgproc/nx_filter.h"
#include "pixel_reference.h"

namespace epctest {
namespace {

constexpr int kRange = 12491;
constexpr int32_t kFrameResult = int32_t(kPixels * 2);

class Decode : public EpcTest {
  protected:
    void SetUp() override {
        EpcTest::SetUp();
        open_epc();
        set_constants([](nx::epc::DistanceConstants &c) {
            c.calib_scale = 1000;
            c.calib_offset_mm = 0;
            c.sensor_temp_calib = 400;
            c.ib_temp_calib = 380;
        });
        describe(400, 380);
    }
    void enable(int id, nivex_filter_args arg = {}) {
        drv()->ops->filter_enable(drv(), id, &arg, sizeof arg);
    }
    void disable(int id) { drv()->ops->filter_disable(drv(), id); }
    // The reference distance image of `raw` in readout order, amplitudes too.
    static void reference(const Image &raw, Image &dist, Image &amp) {
        dist.assign(kPixels, 0);
        amp.assign(kPixels, 0);
        for (size_t i = 0; i < kPixels; ++i) {
            const ref::Pixel p = ref::pixel(ref::samples_at(raw, kPixels, i));
            dist[i] =
                p.measured ? uint16_t(ref::simple_distance(p.phase, kRange, 1000, 0, 0)) : 65500;
            amp[i] = p.measured ? uint16_t(p.amplitude) : 65500;
        }
    }
    static Image range_checked(Image d) {
        for (uint16_t &v : d)
            if (v <= 60000 && (v <= 100 || v >= kRange)) v = 65300;
        return d;
    }
};

// A scene of a slanted wall with a few dark and a few saturated pixels.
Image scene_raw(uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> rare(0, 199);
    return make_raw(kPixels, [&](size_t i) {
        const double x = double(i % kWidth), y = double(i / kWidth);
        Samples s = samples_for(4000 + 20 * x + 5 * y, 300 + 3 * x);
        const int r = rare(rng);
        if (r == 0) s[2] = 4095;
        if (r == 1) s = samples_for(4000, 8);  // hardly any light
        return s;
    });
}

TEST_F(Decode, DistancePipelineMatchesTheReference) {
    disable(NIVEX_FILTER_DEPTH_SMOOTH);
    enable(NIVEX_FILTER_MIN_AMP, {.min_amp = 50});
    state().min_amp_hold.store(0);
    const Image raw = scene_raw(3);
    Image out;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, out), kFrameResult);
    Image dist, amp;
    reference(raw, dist, amp);
    Image expect = ref::sorted(dist, kWidth, kHeight);
    const Image amp_sorted = ref::sorted(amp, kWidth, kHeight);
    for (size_t i = 0; i < kPixels; ++i)
        if (amp_sorted[i] < 50) expect[i] = 65300;
    EXPECT_EQ(out, range_checked(expect));

    // The smoothing chain runs on the marked image, before the range check.
    enable(NIVEX_FILTER_DEPTH_SMOOTH, {.median_size = 5});
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, out), kFrameResult);
    Image work = expect, second(kPixels);
    const uint16_t *chained =
        nx::depth_smooth_chain(work.data(), second.data(), kWidth, kHeight, true, 90000);
    EXPECT_EQ(out, range_checked(Image(chained, chained + kPixels)));
}

TEST_F(Decode, GrayIsTheSortedAmplitude) {
    const Image raw = scene_raw(4);
    Image out;
    ASSERT_EQ(decode(NX_DECODE_GRAY, raw, out), kFrameResult);
    Image gray(kPixels);
    for (size_t i = 0; i < kPixels; ++i) {
        const ref::Pixel p = ref::pixel(ref::samples_at(raw, kPixels, i));
        gray[i] = p.measured ? uint16_t(p.amplitude) : 0;
    }
    EXPECT_EQ(out, ref::sorted(gray, kWidth, kHeight));
}

TEST_F(Decode, WrongLengthsAreRefusedWithoutTouchingTheImage) {
    const Image raw = uniform_raw(kPixels, samples_for(5000, 500));
    Image out(kPixels, 7);
    nivex_frame_meta meta = meta_of(kWidth, kHeight, kPixels * 8);
    auto run = [&](uint32_t dst_bytes, uint32_t src_len, const nivex_frame_meta &m) {
        return drv()->ops->frame_decode(drv(), out.data(), dst_bytes, NX_DECODE_DISTANCE,
                                        reinterpret_cast<const uint8_t *>(raw.data()), src_len, &m);
    };
    EXPECT_EQ(run(kPixels * 2, kPixels * 8 - 1, meta), -1);  // one byte short
    EXPECT_TRUE(logged("[epc_frame_decode] wrong data len: src=614399, dst=153600\n"));
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(run(kPixels * 2 - 2, kPixels * 8, meta), -1);  // one pixel short of room
    nivex_frame_meta shorter = meta;
    shorter.frame_size = kPixels * 8 - 8;  // the frame says less than the buffer holds
    EXPECT_EQ(run(kPixels * 2, kPixels * 8, shorter), -1);
    for (auto [w, h] : {std::pair{0u, 240u}, {320u, 0u}, {0x10000u, 0x10000u}, {0xFFFFFFFFu, 2u}}) {
        nivex_frame_meta odd = meta;
        odd.width = w;
        odd.height = h;
        EXPECT_EQ(run(kPixels * 2, kPixels * 8, odd), -1) << w << "x" << h;
    }
    EXPECT_EQ(drv()->ops->frame_decode(drv(), nullptr, 100, 1, nullptr, 100, &meta), -1);
    EXPECT_EQ(drv()->ops->frame_decode(drv(), out.data(), kPixels * 2, 1,
                                       reinterpret_cast<const uint8_t *>(raw.data()), kPixels * 8,
                                       nullptr),
              -1);
    EXPECT_EQ(out, Image(kPixels, 7));
}

// Frames whose pixels do not come in groups of 4, or whose rows do not come
// in pairs, cannot go through the pixel routines and the row reordering.
TEST_F(Decode, GeometryTheReorderingCannotTakeIsRefused) {
    for (auto [w, h] : {std::pair{3, 2}, {4, 3}, {1, 1}}) {
        describe(400, 380, w, h);
        const Image raw = uniform_raw(size_t(w * h), samples_for(5000, 500));
        Image out;
        EXPECT_EQ(decode(NX_DECODE_DISTANCE, raw, out, w, h), -1) << w << "x" << h;
        EXPECT_EQ(decode(NX_DECODE_GRAY, raw, out, w, h), -1) << w << "x" << h;
        EXPECT_EQ(out, Image(size_t(w * h), 0xABCD));
        EXPECT_EQ(state().frame_valid.load(), 0);
    }
    EXPECT_TRUE(logged("[epc_frame_decode] frame 4x3 cannot be decoded"));
}

TEST_F(Decode, OnlyPhasePlanesAreDecoded) {
    const Image raw = uniform_raw(kPixels, samples_for(5000, 500));
    Image out(kPixels);
    auto run = [&](uint16_t format, int kind) {
        describe(400, 380);  // frame_valid 1
        const nivex_frame_meta meta = meta_of(kWidth, kHeight, kPixels * 8, format);
        return drv()->ops->frame_decode(drv(), out.data(), kPixels * 2, kind,
                                        reinterpret_cast<const uint8_t *>(raw.data()), kPixels * 8,
                                        &meta);
    };
    EXPECT_EQ(run(0, 1), -1);
    EXPECT_EQ(state().frame_valid.load(), 1);
    EXPECT_EQ(run(8, 2), -1);
    EXPECT_EQ(state().frame_valid.load(), 1);
    EXPECT_EQ(run(8, 1), -1);
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(run(171, 1), -1);
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_TRUE(logged("[INF] [epc_frame_decode] Calibration data frame,size:614400\n"));
    EXPECT_EQ(run(5, 1), -1);
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(run(2, 3), -1);  // no such kind
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(run(2, 2), kFrameResult);
    EXPECT_EQ(state().frame_valid.load(), 1);
}

TEST_F(Decode, RangeCheckBoundaries) {
    Image d = {100, 101, 0, 12490, 12491, 12492, 60000, 60001, 65300, 65500};
    nx::epc::range_check(d.data(), d.size(), kRange);
    EXPECT_EQ(d, (Image{65300, 101, 65300, 12490, 65300, 65300, 65300, 60001, 65300, 65500}));
}

TEST_F(Decode, HdrMergeTakesTheBrighterRowOfEachPair) {
    // Two columns, four rows: amplitude decides, distance follows.
    Image dist = {10, 11, 20, 21, 30, 31, 40, 41};
    Image amp = {500, 7, 400, 7, 65500, 9, 300, 9};
    nx::epc::hdr_merge(dist.data(), amp.data(), 2, 4);
    EXPECT_EQ(amp, (Image{500, 7, 500, 7, 300, 9, 300, 9}));
    EXPECT_EQ(dist, (Image{10, 21, 10, 21, 40, 41, 40, 41}));  // a tie takes row 2k + 1
    Image gray = {1, 2, 3, 4};
    nx::epc::hdr_merge(gray.data(), gray.data(), 1, 4);
    EXPECT_EQ(gray, (Image{2, 2, 4, 4}));
}

TEST_F(Decode, HdrFramesMergeRowPairsAfterReordering) {
    disable(NIVEX_FILTER_DEPTH_SMOOTH);
    // Image rows alternate between a bright and a saturated exposure.
    const Image raw = make_raw(kPixels, [](size_t i) {
        const int readout_row = int(i / kWidth);
        const int row = ref::image_row(readout_row, kHeight);
        return row % 2 == 0 ? samples_for(6000, 900) : Samples{4095, 2000, 100, 2100};
    });
    enable(NIVEX_FILTER_HDR);
    Image out;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, out), kFrameResult);
    const ref::Pixel bright = ref::pixel(samples_for(6000, 900));
    EXPECT_EQ(out,
              Image(kPixels, uint16_t(ref::simple_distance(bright.phase, kRange, 1000, 0, 0))));
    ASSERT_EQ(decode(NX_DECODE_GRAY, raw, out), kFrameResult);
    EXPECT_EQ(out, Image(kPixels, uint16_t(bright.amplitude)));
    disable(NIVEX_FILTER_HDR);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, out), kFrameResult);
    EXPECT_EQ(out[kWidth], 65500);  // image row 1 keeps its saturated pixels
}

TEST_F(Decode, UndistortionOnlyOfFullSizeImages) {
    disable(NIVEX_FILTER_DEPTH_SMOOTH);
    const Image raw = scene_raw(8);
    Image plain, undistorted;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, plain), kFrameResult);
    enable(NIVEX_FILTER_LENS_UNDISTORT);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, undistorted), kFrameResult);
    Image expect(kPixels);
    ASSERT_EQ(nx_calib_len_undistort_u16(&state().lens_map, expect.data(), int(kPixels),
                                         plain.data(), kWidth, kHeight, 0),
              1);
    EXPECT_EQ(undistorted, expect);
    EXPECT_NE(undistorted, plain);
    Image gray_plain, gray;
    disable(NIVEX_FILTER_LENS_UNDISTORT);
    ASSERT_EQ(decode(NX_DECODE_GRAY, raw, gray_plain), kFrameResult);
    enable(NIVEX_FILTER_LENS_UNDISTORT);
    ASSERT_EQ(decode(NX_DECODE_GRAY, raw, gray), kFrameResult);
    ASSERT_EQ(nx_calib_len_undistort_u16(&state().lens_map, expect.data(), int(kPixels),
                                         gray_plain.data(), kWidth, kHeight, 0),
              1);
    EXPECT_EQ(gray, expect);

    // 160 x 120 frames are not undistorted.
    const size_t quarter = kPixels / 4;
    const Image small = uniform_raw(quarter, samples_for(5000, 500));
    describe(400, 380, 160, 120);
    Image on, off;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, small, on, 160, 120), int32_t(quarter * 2));
    disable(NIVEX_FILTER_LENS_UNDISTORT);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, small, off, 160, 120), int32_t(quarter * 2));
    EXPECT_EQ(on, off);
}

TEST_F(Decode, RefusedUndistortionKeepsTheImage) {
    disable(NIVEX_FILTER_DEPTH_SMOOTH);
    const Image raw = scene_raw(9);
    Image plain, out;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, plain), kFrameResult);
    nx_calib_len_uninit_map(&state().lens_map);
    enable(NIVEX_FILTER_LENS_UNDISTORT);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, out), kFrameResult);
    EXPECT_EQ(out, plain);
    ASSERT_EQ(decode(NX_DECODE_GRAY, raw, out), kFrameResult);
    EXPECT_TRUE(
        logged("[WRN] [epc_frame_decode] undistortion maps not built: image left as it is"));
    enable(NIVEX_FILTER_DEPTH_SMOOTH, {.median_size = 5});
    Image smoothed_on, smoothed_off;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, smoothed_on), kFrameResult);
    disable(NIVEX_FILTER_LENS_UNDISTORT);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, smoothed_off), kFrameResult);
    EXPECT_EQ(smoothed_on, smoothed_off);
}

TEST_F(Decode, WorkImagesAreReusedFromFrameToFrame) {
    nx::epc::WorkPool pool;
    auto first = pool.take(1000);
    const uint16_t *a = first->a.data();
    pool.give(std::move(first));
    auto again = pool.take(800);  // a smaller frame keeps the room
    EXPECT_EQ(again->a.data(), a);
    auto second = pool.take(1000);  // taken while the first is out: a set of its own
    EXPECT_NE(second->a.data(), a);
    pool.give(std::move(again));
    pool.give(std::move(second));
}

TEST_F(Decode, ConcurrentDecodesOfOneCameraGiveTheSameImages) {
    const Image raw = scene_raw(11);
    Image expect;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, expect), kFrameResult);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(3, 0);
    for (size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            Image out(kPixels);
            const nivex_frame_meta meta = meta_of(kWidth, kHeight, kPixels * 8);
            for (int i = 0; i < 10; ++i) {
                const int kind = (i + int(t)) % 2 == 0 ? NX_DECODE_DISTANCE : NX_DECODE_GRAY;
                drv()->ops->frame_decode(drv(), out.data(), kPixels * 2, kind,
                                         reinterpret_cast<const uint8_t *>(raw.data()), kPixels * 8,
                                         &meta);
                if (kind == NX_DECODE_DISTANCE && out != expect) ++mismatches[t];
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(mismatches, std::vector<int>(3, 0));
}

}  // namespace
}  // namespace epctest
