// The EPC runtime features and their switches: automatic integration time,
// minimum-amplitude marking with hysteresis, the DCS pair-sum check, the
// temperature monitor, and every filter id.
#include <gtest/gtest.h>

#include <chrono>

#include "drivers/epc/epc_features.h"
#include "drivers/epc/epc_image_steps.h"
#include "epc_fixture.h"

namespace epctest {
namespace {

using namespace std::chrono_literals;
using nx::epc::Clock;
using nx::epc::WordCounts;

// A clock the tests move by hand.
Clock::time_point g_now = Clock::time_point{} + 1000h;
Clock::time_point test_now() {
    return g_now;
}

class Features : public EpcTest {
  protected:
    void SetUp() override {
        EpcTest::SetUp();
        open_epc();
        state().now.store(&test_now);
    }
    bool enable(int id, nivex_filter_args arg = {}) {
        return drv()->ops->filter_enable(drv(), id, &arg, sizeof arg);
    }
    bool disable(int id) { return drv()->ops->filter_disable(drv(), id); }
    int32_t decode_uniform(Samples s, int kind = NX_DECODE_DISTANCE) {
        Image out;
        return decode(kind, uniform_raw(kPixels, s), out);
    }
};

WordCounts counts(uint32_t words, uint32_t bad, uint32_t high, uint32_t low) {
    return {words, low, words - bad - high - low, high, bad};
}

TEST(AutoIntegration, StepFollowsTheSampleCounts) {
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 30, 600, 0), 2), -10);  // 3 per mille
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 30, 600, 0), 5), 0);
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 250, 0, 0), 25), -20);
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 250, 0, 0), 26), 50);
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 0, 5, 100), 1), 50);
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 0, 0, 600), 1), 0);
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(10000, 30, 400, 0), 2), 0);  // few high
    EXPECT_EQ(nx::epc::auto_intg_calc_step(counts(0, 0, 0, 0), 2), 50);
}

TEST(AutoIntegration, WordsAreClassifiedByTheirWholeValue) {
    const Image words = {0, 1, 2, 511, 512, 3584, 3585, 4094, 4095, 0x1200, 0xFFFF};
    const WordCounts c =
        nx::epc::classify_words(reinterpret_cast<const uint8_t *>(words.data()), words.size());
    EXPECT_EQ(c.words, 11u);
    EXPECT_EQ(c.bad, 5u);  // 0, 1, 4095, 0x1200, 0xFFFF
    EXPECT_EQ(c.low, 2u);
    EXPECT_EQ(c.normal, 2u);
    EXPECT_EQ(c.high, 2u);
}

TEST_F(Features, AutoIntegrationWritesTheClampedTimeAtMostOncePerMillisecond) {
    ASSERT_TRUE(enable(NIVEX_FILTER_AUTO_INTG, {.sat_ratio = 5}));
    ASSERT_EQ(state().sensor->set_integration_time_3d(1480), 0);
    const Samples mid = {2048, 2048, 2048, 2048};  // all normal: +50
    decode_uniform(mid);
    EXPECT_EQ(cam_.integration_time(), 1500);
    EXPECT_EQ(state().sensor->integration_time_3d(), 1500);
    EXPECT_TRUE(logged("[DBG] [_feature_auto_intg] AUTO_INTG: 1480->1500\n"));
    decode_uniform(mid);  // at the limit: nothing to write
    EXPECT_EQ(param_sets(cam_.wire_log(), 13).size(), 1u);

    // 25 per mille of saturated words: -20, and 55 - 20 stops at 50.
    ASSERT_EQ(state().sensor->set_integration_time_3d(55), 0);
    Image raw = uniform_raw(kPixels, mid);
    for (size_t i = 0; i < raw.size() / 40; ++i)
        raw[i * 40] = 4095;
    Image out;
    g_now += 1ms;  // 1 ms after the last step: too early
    decode(NX_DECODE_DISTANCE, raw, out);
    EXPECT_EQ(state().sensor->integration_time_3d(), 55);
    g_now += 1ms;
    decode(NX_DECODE_DISTANCE, raw, out);
    EXPECT_EQ(cam_.integration_time(), 50);
    EXPECT_EQ(param_sets(cam_.wire_log(), 13).back(), (std::vector<uint8_t>{50, 0}));
    EXPECT_TRUE(logged("bad_pct:25, bad_cnt:7680, cnt_high/low:0,0 sat_ratio: 5,\n"));
}

TEST_F(Features, AutoIntegrationRunsForEveryFormatAndNotInHdrMode) {
    ASSERT_TRUE(enable(NIVEX_FILTER_AUTO_INTG, {.sat_ratio = 5}));
    const nivex_frame_meta meta = meta_of(kWidth, kHeight, kPixels * 8, 171);
    const Image raw = uniform_raw(kPixels, {2048, 2048, 2048, 2048});
    Image out(kPixels);
    EXPECT_EQ(
        drv()->ops->frame_decode(drv(), out.data(), kPixels * 2, 1,
                                 reinterpret_cast<const uint8_t *>(raw.data()), kPixels * 8, &meta),
        -1);
    EXPECT_EQ(cam_.integration_time(), 750);
    ASSERT_TRUE(enable(NIVEX_FILTER_HDR));
    g_now += 10ms;
    decode(NX_DECODE_DISTANCE, raw, out);
    EXPECT_EQ(cam_.integration_time(), 750);
    // Switched off, sat_ratio 0 or a refused write: the time stays.
    ASSERT_TRUE(disable(NIVEX_FILTER_HDR));
    ASSERT_TRUE(enable(NIVEX_FILTER_AUTO_INTG, {.sat_ratio = 0}));
    g_now += 10ms;
    decode(NX_DECODE_DISTANCE, raw, out);
    EXPECT_EQ(cam_.integration_time(), 750);
    ASSERT_TRUE(enable(NIVEX_FILTER_AUTO_INTG, {.sat_ratio = 5}));
    cam_.inject_error("busy with something else", 0xC0);
    g_now += 10ms;
    decode(NX_DECODE_DISTANCE, raw, out);
    EXPECT_EQ(cam_.integration_time(), 750);
    EXPECT_EQ(state().sensor->integration_time_3d(), 750);
    EXPECT_TRUE(logged("[ERR] [_feature_auto_intg] adjust intg from 750 to 800 failed\n"));
}

TEST_F(Features, HysteresisKeepsAPixelUntilItFallsBelowTheBand) {
    ASSERT_TRUE(enable(NIVEX_FILTER_MIN_AMP, {.min_amp = 100}));
    ASSERT_EQ(state().min_amp_hysteresis.load(), 10);
    std::vector<bool> valid;
    for (uint16_t a : {95, 120, 95, 89, 100, 95}) {
        Image dist = {1000}, amp = {a};
        ASSERT_TRUE(nx::epc::min_amp_mark(state(), dist.data(), amp.data(), 1));
        valid.push_back(dist[0] == 1000);
    }
    // A new mask starts invalid, so the first 95 is marked.
    EXPECT_EQ(valid, (std::vector<bool>{false, true, true, false, true, true}));
    // Switched off: nothing is marked, and no mask is made.
    ASSERT_TRUE(disable(NIVEX_FILTER_MIN_AMP));
    Image dist = {1000}, amp = {3};
    ASSERT_TRUE(nx::epc::min_amp_mark(state(), dist.data(), amp.data(), 1));
    EXPECT_EQ(dist[0], 1000);
    EXPECT_TRUE(state().min_amp_mask.empty());
    // Without hysteresis every pixel below the limit is marked.
    ASSERT_TRUE(enable(NIVEX_FILTER_MIN_AMP, {.min_amp = 100}));
    state().min_amp_hold.store(0);
    Image d2 = {1000, 1000}, a2 = {99, 100};
    ASSERT_TRUE(nx::epc::min_amp_mark(state(), d2.data(), a2.data(), 2));
    EXPECT_EQ(d2, (Image{65300, 1000}));
}

TEST_F(Features, DecodeMarksLowAmplitudePixels) {
    ASSERT_TRUE(disable(NIVEX_FILTER_DEPTH_SMOOTH));
    ASSERT_TRUE(enable(NIVEX_FILTER_MIN_AMP, {.min_amp = 100}));
    Image out;
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, uniform_raw(kPixels, samples_for(6000, 60)), out),
              int32_t(kPixels * 2));
    EXPECT_EQ(out, Image(kPixels, 65300));
    ASSERT_TRUE(disable(NIVEX_FILTER_MIN_AMP));
    ASSERT_EQ(decode(NX_DECODE_DISTANCE, uniform_raw(kPixels, samples_for(6000, 60)), out),
              int32_t(kPixels * 2));
    EXPECT_NE(out[0], 65300);
}

TEST_F(Features, DcsCheckFlagsUnbalancedFramesAndCorrectsOnceASecond) {
    ASSERT_TRUE(enable(NIVEX_FILTER_DCS_CHECK, {.dcs_check_param = 0}));
    const Samples balanced = {1000, 1500, 3096, 2596};    // both pairs 4096
    const Samples unbalanced = {1000, 1000, 3096, 2000};  // 4096 and 3000
    describe(400, 380);
    EXPECT_EQ(decode_uniform(balanced), int32_t(kPixels * 2));
    EXPECT_EQ(state().frame_valid.load(), 1);
    EXPECT_EQ(decode_uniform(unbalanced), -1);
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(param_sets(cam_.wire_log(), 17), (std::vector<std::vector<uint8_t>>{{1, 0, 0}}));
    // Within the second: decoded, still flagged, nothing written.
    describe(400, 380);
    g_now += 999ms;
    EXPECT_EQ(decode_uniform(unbalanced), int32_t(kPixels * 2));
    EXPECT_EQ(state().frame_valid.load(), 0);
    EXPECT_EQ(param_sets(cam_.wire_log(), 17).size(), 1u);
    g_now += 1ms;
    ASSERT_TRUE(enable(NIVEX_FILTER_DCS_CHECK, {.dcs_check_param = 0x1234}));
    EXPECT_EQ(decode_uniform(unbalanced), -1);
    EXPECT_EQ(param_sets(cam_.wire_log(), 17).back(), (std::vector<uint8_t>{0, 0x34, 0x12}));
    // Off: unbalanced frames decode.
    ASSERT_TRUE(disable(NIVEX_FILTER_DCS_CHECK));
    g_now += 5s;
    describe(400, 380);
    EXPECT_EQ(decode_uniform(unbalanced), int32_t(kPixels * 2));
    EXPECT_EQ(state().frame_valid.load(), 1);
}

TEST_F(Features, TemperatureMonitorLogsEveryTenSeconds) {
    const std::string first =
        "[_feature_temp_monitor] INTERV:0, IBtemp:38.00, Tsensor:40.00, FPS:30\n";
    describe(400, 380);
    EXPECT_TRUE(logged(first));
    describe(410, 380);
    g_now += 9s;
    describe(410, 380);
    EXPECT_FALSE(logged("Tsensor:41.00"));
    g_now += 1s;
    describe(412, 381);
    EXPECT_TRUE(logged("INTERV:10, IBtemp:38.10, Tsensor:41.20, FPS:30\n"));
    ASSERT_TRUE(disable(NIVEX_FILTER_TEMP_MONITOR));
    g_now += 20s;
    describe(500, 380);
    EXPECT_FALSE(logged("Tsensor:50.00"));
    EXPECT_TRUE(logged("[TRC] [epc_frame_get_info] Temp monitor not enable\n"));
    ASSERT_TRUE(enable(NIVEX_FILTER_TEMP_MONITOR, {.temp_monitor_param = 3}));
    EXPECT_EQ(state().temp_monitor_param.load(), 3);
}

// What every switch holds, to see that an id changed nothing.
std::vector<int> switches(nx::epc::epc_driver_state &s) {
    return {s.calib_mode,         s.drnu_on,      s.undistort_on,    s.min_amp_on,
            s.auto_intg_on,       s.dcs_check_on, s.temp_monitor_on, s.hdr_on,
            s.depth_smooth_on,    s.flypix_on,    s.min_amp_hold,    int(s.flypix_threshold),
            s.min_amp_hysteresis, s.min_amp,      s.sat_ratio,       s.dcs_check_param,
            s.temp_monitor_param, s.median_size};
}

TEST_F(Features, DefaultsAndUnknownIds) {
    const std::vector<int> defaults = {2, 0, 0, 1, 0, 0, 1, 0, 1, 1, 1, 90000, 10, 0, 0, 0, 75, 5};
    EXPECT_EQ(switches(state()), defaults);
    for (int id : {3, 9, 42, -1}) {
        EXPECT_TRUE(enable(id, {.min_amp = 77})) << id;
        EXPECT_TRUE(drv()->ops->filter_enable(drv(), id, nullptr, 0)) << id;
        EXPECT_TRUE(disable(id)) << id;
    }
    EXPECT_EQ(switches(state()), defaults);
    // Ids that take an argument refuse to run without one.
    EXPECT_FALSE(drv()->ops->filter_enable(drv(), NIVEX_FILTER_MIN_AMP, nullptr, 0));
    EXPECT_EQ(switches(state()), defaults);
}

TEST_F(Features, SwitchesSetTheirValues) {
    EXPECT_TRUE(enable(NIVEX_FILTER_DEPTH_SMOOTH, {.median_size = 3}));
    EXPECT_EQ(state().median_size.load(), 3);
    EXPECT_TRUE(disable(NIVEX_FILTER_DEPTH_SMOOTH));
    EXPECT_EQ(state().depth_smooth_on.load(), 0);
    EXPECT_EQ(state().median_size.load(), 0);
    EXPECT_TRUE(enable(NIVEX_FILTER_AUTO_INTG, {.sat_ratio = 9}));
    EXPECT_TRUE(disable(NIVEX_FILTER_AUTO_INTG));
    EXPECT_EQ(state().sat_ratio.load(), 0);
    EXPECT_TRUE(enable(NIVEX_FILTER_LENS_UNDISTORT));
    EXPECT_EQ(state().undistort_on.load(), 1);
    // HDR switches the sensor's HDR bit (register 0x94 bit 7).
    EXPECT_TRUE(enable(NIVEX_FILTER_HDR));
    EXPECT_EQ(cam_.reg(1, 0x94) & 0x80, 0x80u);
    EXPECT_TRUE(state().sensor->is_hdr());
    EXPECT_TRUE(disable(NIVEX_FILTER_HDR));
    EXPECT_EQ(cam_.reg(1, 0x94) & 0x80, 0u);
}

TEST_F(Features, PixelCalibrationModeAndFileCheck) {
    nivex_filter_args arg{};
    arg.calib_mode = 7;
    EXPECT_FALSE(drv()->ops->filter_enable(drv(), NIVEX_FILTER_PIXEL_CALIB, &arg, 1));
    EXPECT_EQ(arg.calib_mode, 1);  // what the caller should have given
    EXPECT_EQ(state().calib_mode.load(), 2);
    EXPECT_EQ(state().drnu_on.load(), 1);  // on all the same
    arg.calib_mode = 0;
    write_distance_images(2, kWidth, kHeight, [](int k, int, int) { return uint16_t(700 + k); });
    EXPECT_TRUE(drv()->ops->filter_enable(drv(), NIVEX_FILTER_PIXEL_CALIB, &arg, 1));
    EXPECT_EQ(state().calib_mode.load(), 0);
    EXPECT_TRUE(disable(NIVEX_FILTER_PIXEL_CALIB));
    EXPECT_EQ(state().drnu_on.load(), 0);
    EXPECT_EQ(state().sensor->drnu_mode(), 0);
}

}  // namespace
}  // namespace epctest
