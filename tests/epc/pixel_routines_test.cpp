// The exported pixel routines against the reference formulas, their edge
// pixels and refusals, and the per-pixel (DRNU) calibration's decisions.
#include <gtest/gtest.h>

#include <random>

#include "drivers/epc/epc_calibration.h"
#include "epc_fixture.h"
#include "pixel_reference.h"

namespace epctest {
namespace {

constexpr int kRange = 12491;  // 12 MHz

class PixelRoutines : public EpcTest {
  protected:
    void SetUp() override {
        EpcTest::SetUp();
        open_epc();
    }
    // Routine results over a frame of n pixels.
    struct Out {
        int result = 0;
        Image dist, amp;
    };
    Out simple(const Image &raw, int w, int h) {
        Out o{0, Image(size_t(w) * size_t(h), 1), Image(size_t(w) * size_t(h), 1)};
        o.result = calc_dist_calib_simple(drv(), o.dist.data(), o.amp.data(), raw.data(), w, h, 4);
        return o;
    }
    Out none(const Image &raw, int w, int h, int scale, int offset) {
        Out o{0, Image(size_t(w) * size_t(h), 1), Image(size_t(w) * size_t(h), 1)};
        o.result = calc_dist_calib_none(drv(), o.dist.data(), o.amp.data(), raw.data(), w, h, 4,
                                        scale, offset);
        return o;
    }
    Out drnu(const Image &raw, int w, int h) {
        Out o{0, Image(size_t(w) * size_t(h), 1), Image(size_t(w) * size_t(h), 1)};
        o.result = calc_dist_calib_drnu(drv(), o.dist.data(), o.amp.data(), raw.data(), w, h, 4);
        return o;
    }
    void calibrate(int32_t scale, int32_t offset, int16_t temp_cal, int16_t ib_temp_cal) {
        set_constants([&](nx::epc::DistanceConstants &c) {
            c.calib_scale = scale;
            c.calib_offset_mm = offset;
            c.sensor_temp_calib = temp_cal;
            c.ib_temp_calib = ib_temp_cal;
        });
    }
};

// Random samples, with a few pixels at 0 or 4095 (or with bits above the 12
// sample bits set).
Image random_raw(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> sample(1, 4094), rare(0, 99);
    return make_raw(n, [&](size_t) {
        Samples s;
        for (uint16_t &v : s)
            v = static_cast<uint16_t>(sample(rng));
        const int r = rare(rng);
        if (r == 0) s[size_t(r % 4)] = 0;
        if (r == 1) s[3] = 4095;
        if (r == 2) s[1] |= 0xF000;
        return s;
    });
}

TEST_F(PixelRoutines, MidLevelPixelHasNoAmplitudeAndHalfAPeriodOfPhase) {
    const Image raw = uniform_raw(4, {2048, 2048, 2048, 2048});
    Image gray(4, 1);
    ASSERT_EQ(calc_gray(nullptr, gray.data(), raw.data(), 2, 2, 4), 1);
    EXPECT_EQ(gray, Image(4, 0));
    // Phase 15000 is half the range.
    Out o = none(raw, 2, 2, 1000, 0);
    ASSERT_EQ(o.result, 1);
    EXPECT_EQ(o.dist, Image(4, kRange / 2));
    EXPECT_EQ(o.amp, Image(4, 0));
}

// The range follows the sensor's modulation frequency when it changes after
// the open.
TEST_F(PixelRoutines, RangeFollowsTheModulationFrequency) {
    const Image raw = uniform_raw(4, {2048, 2048, 2048, 2048});     // half a period
    ASSERT_EQ(state().sensor->set_modulation_frequency(1, 32), 0);  // 24 MHz
    EXPECT_EQ(none(raw, 2, 2, 1000, 0).dist[0], 6245 / 2);
    EXPECT_EQ(nx::epc::current_constants(state()).drnu_offset_phase, 295 * 30000 / 6245);
    ASSERT_EQ(state().sensor->set_modulation_frequency(0, 32), 0);  // 36 MHz
    EXPECT_EQ(none(raw, 2, 2, 1000, 0).dist[0], 4163 / 2);
}

TEST_F(PixelRoutines, SampleOfZeroOrFullScaleIsNotMeasuredInEveryRoutine) {
    for (size_t at = 0; at < 4; ++at) {
        for (uint16_t bad : {uint16_t{0}, uint16_t{4095}, uint16_t{0x1000}, uint16_t{0xFFFF}}) {
            Samples s = {1000, 3000, 3000, 1000};
            s[at] = bad;
            const Image raw = uniform_raw(4, s);
            Image gray(4, 1);
            ASSERT_EQ(calc_gray(drv(), gray.data(), raw.data(), 4, 1, 4), 1);
            EXPECT_EQ(gray, Image(4, 0));
            Out o = simple(raw, 4, 1);
            EXPECT_EQ(o.dist, Image(4, 65500));
            EXPECT_EQ(o.amp, Image(4, 65500));
            o = none(raw, 4, 1, 1000, 0);
            EXPECT_EQ(o.dist, Image(4, 65500));
            EXPECT_EQ(o.amp, Image(4, 65500));
        }
    }
}

TEST_F(PixelRoutines, SimpleWithUnitScaleAndMinus50IsThePlainPhaseDistance) {
    calibrate(1000, -50, 400, 380);
    describe(400, 380);
    for (int phase : {0, 1, 7499, 15000, 22222, 29999}) {
        const Image raw = uniform_raw(4, samples_for(phase, 800));
        const ref::Pixel p = ref::pixel(samples_for(phase, 800));
        Out o = simple(raw, 2, 2);
        ASSERT_EQ(o.result, 1);
        EXPECT_EQ(o.dist[0], p.phase * kRange / 30000) << phase;
        EXPECT_NEAR(o.amp[0], 800, 2);
        const int off = std::abs(p.phase - phase);
        EXPECT_LE(std::min(off, 30000 - off), 4) << phase;  // table and sample rounding
    }
}

TEST_F(PixelRoutines, SimpleCompensatesTheTemperaturesRoundedHalfAwayFromZero) {
    calibrate(1000, -50, 400, 380);
    describe(400, 380);
    const Image raw = uniform_raw(4, samples_for(12000, 800));
    const int plain = simple(raw, 2, 2).dist[0];
    describe(450, 390);  // +5.0 degC sensor, +1.0 degC board: 85 + 3.3765 mm
    EXPECT_EQ(simple(raw, 2, 2).dist[0], plain - 88);
    describe(350, 380);  // -5.0 degC: -85 mm
    EXPECT_EQ(simple(raw, 2, 2).dist[0], plain + 85);
    describe(401, 380);  // 1.7 mm rounds to 2
    EXPECT_EQ(simple(raw, 2, 2).dist[0], plain - 2);
}

TEST_F(PixelRoutines, DistancesWrapIntoTheRangeOnce) {
    const Samples s = samples_for(15000, 800);
    const int base = ref::pixel(s).phase * kRange / 30000;
    const Image raw = uniform_raw(4, s);
    EXPECT_EQ(none(raw, 2, 2, 1000, kRange - base).dist[0], kRange);  // kept
    EXPECT_EQ(none(raw, 2, 2, 1000, kRange - base + 5).dist[0], 5);
    EXPECT_EQ(none(raw, 2, 2, 1000, -base - 3).dist[0], kRange - 3);
    // Absurd calibrations stay inside the range instead of wrapping around
    // 16 bits.
    EXPECT_EQ(none(raw, 2, 2, 1000, -3 * kRange).dist[0], 0);
    EXPECT_EQ(none(raw, 2, 2, 100000, 0).dist[0], kRange);
}

TEST_F(PixelRoutines, RandomFramesMatchTheReferenceFormulas) {
    const int16_t ts = 423, tib = 371;
    calibrate(1013, -37, 361, 341);
    describe(ts, tib);
    const Image raw = random_raw(kPixels, 5);
    Out s = simple(raw, kWidth, kHeight);
    Out n = none(raw, kWidth, kHeight, 987, 120);
    Image gray(kPixels);
    ASSERT_EQ(calc_gray(drv(), gray.data(), raw.data(), kWidth, kHeight, 4), 1);
    const float comp =
        static_cast<float>(ts - 361) * 1.7f + static_cast<float>(tib - 341) * 0.33765f;
    for (size_t i = 0; i < kPixels; ++i) {
        const ref::Pixel p = ref::pixel(ref::samples_at(raw, kPixels, i));
        if (!p.measured) {
            ASSERT_EQ(gray[i], 0) << i;
            ASSERT_EQ(s.dist[i], 65500) << i;
            continue;
        }
        ASSERT_EQ(gray[i], p.amplitude) << i;
        ASSERT_EQ(s.amp[i], p.amplitude) << i;
        ASSERT_EQ(s.dist[i], ref::simple_distance(p.phase, kRange, 1013, -37, comp)) << i;
        ASSERT_EQ(n.dist[i], ref::none_distance(p.phase, kRange, 987, 120)) << i;
    }
}

TEST_F(PixelRoutines, RefusedArgumentsWriteNothing) {
    const Image raw = uniform_raw(16, {1000, 2000, 3000, 2000});
    Image out(16, 7), amp(16, 7);
    EXPECT_EQ(calc_gray(drv(), out.data(), raw.data(), 4, 4, 3), 0);  // dcs_count
    EXPECT_EQ(calc_gray(drv(), out.data(), raw.data(), 3, 1, 4), 0);  // 3 pixels
    EXPECT_EQ(calc_gray(drv(), nullptr, raw.data(), 4, 4, 4), 0);
    EXPECT_EQ(calc_dist_calib_simple(drv(), out.data(), nullptr, raw.data(), 4, 4, 4), 0);
    EXPECT_EQ(calc_dist_calib_none(drv(), out.data(), amp.data(), nullptr, 4, 4, 4, 1000, 0), 0);
    EXPECT_EQ(calc_dist_calib_simple(nullptr, out.data(), amp.data(), raw.data(), 4, 4, 4), 0);
    EXPECT_EQ(calc_dist_calib_drnu(drv(), out.data(), amp.data(), raw.data(), 6, 2, 4), 0);
    EXPECT_EQ(out, Image(16, 7));
    EXPECT_EQ(amp, Image(16, 7));
    // No pixels: done at once.
    EXPECT_EQ(calc_gray(drv(), nullptr, nullptr, 0, 5, 4), 1);
    EXPECT_EQ(calc_dist_calib_simple(drv(), nullptr, nullptr, nullptr, 4, 0, 4), 1);
}

// Per-pixel calibration with tables written by the test: pixel (x, y)'s
// entry k is the phase of 295 mm + k x 298.2 mm plus a pixel offset.
class DrnuRoutine : public PixelRoutines {
  protected:
    static constexpr int kK = 30;
    static constexpr double kStep = 298.2;
    static uint16_t entry(int k, int y, int x) {
        const double mm = 295.0 + k * kStep + (x % 7) * 3 + (y % 5) * 2;
        return static_cast<uint16_t>(std::lround(mm * 30000.0 / 12491.35));
    }
    void SetUp() override {
        EpcTest::SetUp();
        write_param_file(12000, 8364, 361, kStep, 341);
        write_distance_images(kK, kWidth, kHeight, entry);
    }
    void open_with(const std::string &product) {
        nxsim::CameraConfig config = pattern_config();
        config.product = product;
        open_epc(config);
        describe(361, 341);  // the calibration temperatures
    }
    // The table of readout pixel i, as the reference reads it.
    static std::vector<uint16_t> table_of(size_t i) {
        const int y = ref::image_row(static_cast<int>(i / kWidth), kHeight);
        const int x = static_cast<int>(i % kWidth);
        std::vector<uint16_t> e;
        for (int k = 0; k < kK; ++k)
            e.push_back(entry(k, y, x));
        return e;
    }
    ref::Drnu ref_calib(float temp_term = 0) const {
        const float step = static_cast<float>(kStep * 30000 / 12491);
        return {12491, temp_term, step, 295 * 30000 / 12491};
    }
};

// Version "2.0..." cameras run the sensor library in its extended mode, which
// loads the tables into bank 0; the others into bank 1.
class DrnuBanks : public DrnuRoutine, public ::testing::WithParamInterface<const char *> {};

TEST_P(DrnuBanks, ReadsTheBankThatWasLoaded) {
    open_with(GetParam());
    const Image raw = uniform_raw(kPixels, samples_for(9000, 900));
    Out o = drnu(raw, kWidth, kHeight);
    ASSERT_EQ(o.result, 1);
    const int phase = ref::pixel(samples_for(9000, 900)).phase;
    for (size_t i : {size_t{0}, size_t{12345}, kPixels - 1})
        EXPECT_EQ(o.dist[i], ref::drnu_distance(phase, table_of(i), ref_calib()));
    EXPECT_NEAR(o.amp[0], 900, 2);
}

INSTANTIATE_TEST_SUITE_P(Versions, DrnuBanks, ::testing::Values("NVX-E2-2.0b", "NVX-E2-2.1"));

TEST_F(DrnuRoutine, RandomFramesMatchTheReferenceWithTemperatures) {
    open_with(kProduct);
    describe(401, 360);
    const Image raw = random_raw(kPixels, 9);
    Out o = drnu(raw, kWidth, kHeight);
    ASSERT_EQ(o.result, 1);
    const nx::epc::DistanceConstants c = nx::epc::current_constants(state());
    const float term = 40.0f * c.temp_coef_phase + 19.0f * c.ib_temp_coef_phase;
    for (size_t i = 0; i < kPixels; i += 7) {
        const ref::Pixel p = ref::pixel(ref::samples_at(raw, kPixels, i));
        if (!p.measured) {
            ASSERT_EQ(o.dist[i], 65500);
            ASSERT_EQ(o.amp[i], 0);
            continue;
        }
        ASSERT_EQ(o.dist[i], ref::drnu_distance(p.phase, table_of(i), ref_calib(term))) << i;
    }
}

// The step of the tables is used as the file gives it: the distance of the
// phase of calibration distance 20 is 295 + 20 x 298.2 mm, where whole
// millimetres and whole phase units per step would lose 10 mm.
TEST_F(DrnuRoutine, CalibrationDistancesComeOutAtTheirTrueDistance) {
    open_with(kProduct);
    for (int k : {0, 5, 20, 29}) {
        const double mm = 295.0 + k * kStep;
        Image raw =
            make_raw(kPixels, [&](size_t) { return samples_for(mm * 30000.0 / 12491.35, 1500); });
        // The table of pixel 0 (image row 119, column 0) is 4 x 2 mm off.
        Out o = drnu(raw, kWidth, kHeight);
        EXPECT_NEAR(o.dist[0], mm - 8, 2.0) << k;
    }
}

TEST_F(DrnuRoutine, FlatSegmentAndNegativePhaseStayMeaningful) {
    open_with(kProduct);
    const nx::epc::DistanceConstants c = nx::epc::current_constants(state());
    // Flat segment: entries 3 and 4 equal.
    std::vector<uint16_t> flat(kK);
    for (int k = 0; k < kK; ++k)
        flat[size_t(k)] = static_cast<uint16_t>(1000 + 700 * k);
    flat[4] = flat[3];
    nx::epc::DrnuCalib calib{12491, 0, c.step_cal_phase, c.drnu_offset_phase, flat.data(), kK};
    const int phase_on_flat = flat[3];
    const uint16_t d = nx::epc::scalar::drnu_distance(phase_on_flat, flat.data(), calib);
    EXPECT_EQ(d, ref::drnu_distance(phase_on_flat, flat, ref_calib()));
    EXPECT_NEAR(d, 295 + 3 * kStep, 2);
    // A phase far below the first entry: J < 0 wraps by the range.
    std::vector<uint16_t> high(kK);
    for (int k = 0; k < kK; ++k)
        high[size_t(k)] = static_cast<uint16_t>(5000 + 716 * k);
    calib.lut = high.data();
    const uint16_t wrapped = nx::epc::scalar::drnu_distance(100, high.data(), calib);
    EXPECT_EQ(wrapped, ref::drnu_distance(100, high, ref_calib()));
    EXPECT_GT(wrapped, 10000);
    EXPECT_LT(wrapped, 12491);
}

TEST_F(DrnuRoutine, RefusedWithoutAMatchingTableOrRange) {
    open_with(kProduct);
    const Image raw = uniform_raw(kPixels / 4, samples_for(9000, 900));
    EXPECT_EQ(drnu(raw, 160, 120).result, 0);  // table is 320 x 240
    EXPECT_TRUE(logged("[calc_dist_calib_drnu] no lookup table of 160x120 pixels loaded\n"));
    set_constants([](nx::epc::DistanceConstants &c) { c.range_mm = 0; });
    EXPECT_EQ(drnu(uniform_raw(kPixels, samples_for(9000, 900)), kWidth, kHeight).result, 0);
}

TEST_F(PixelRoutines, WithoutTablesThePerPixelDecodeUsesTheSimpleOneAndSaysSoOnce) {
    nivex_filter_args arg{};
    arg.calib_mode = 1;
    EXPECT_FALSE(drv()->ops->filter_enable(drv(), NIVEX_FILTER_PIXEL_CALIB, &arg, 2));  // no file
    ASSERT_EQ(state().drnu_on.load(), 1);
    nivex_filter_args off{};
    drv()->ops->filter_enable(drv(), NIVEX_FILTER_DEPTH_SMOOTH, &off, 1);
    const Image raw = uniform_raw(kPixels, samples_for(6000, 900));
    Image with_drnu, simple_only;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, with_drnu), int32_t(kPixels * 2));
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, with_drnu), int32_t(kPixels * 2));
    drv()->ops->filter_disable(drv(), NIVEX_FILTER_PIXEL_CALIB);
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, raw, simple_only), int32_t(kPixels * 2));
    EXPECT_EQ(with_drnu, simple_only);
    const std::string warning =
        "[epc_frame_decode] no lookup table of 320x240 pixels loaded: simple calibration used\n";
    const std::string log = log_text();
    EXPECT_EQ(log.find(warning), log.rfind(warning));
    EXPECT_NE(log.find(warning), std::string::npos);
}

// Without distance images the scale would be 0 and every distance near
// 50 mm; the uncalibrated line is used instead, with one warning.
TEST_F(PixelRoutines, WithoutDistanceImagesDistancesAreUncalibrated) {
    ASSERT_EQ(nx::epc::current_constants(state()).calib_scale, 0);
    describe(361, 341);  // the built-in calibration temperatures
    const Samples s = samples_for(6000, 900);
    const Image raw = uniform_raw(4, s);
    EXPECT_EQ(simple(raw, 2, 2).dist[0], ref::pixel(s).phase * kRange / 30000 + 50);
    EXPECT_EQ(simple(raw, 2, 2).dist[0], ref::pixel(s).phase * kRange / 30000 + 50);
    const std::string warning =
        "[simple_calib] no distance images loaded: distances are not calibrated\n";
    const std::string log = log_text();
    EXPECT_NE(log.find(warning), std::string::npos);
    EXPECT_EQ(log.find(warning), log.rfind(warning));
}

}  // namespace
}  // namespace epctest
