// The rules of the capture state, without a camera: which error wins, which
// one a fetch clears, and what a fetch reports once the capture has ended.
#include <gtest/gtest.h>

#include "api/capture_state.h"
#include "nivex.h"

namespace {

using nx::CapError;
using nx::CaptureState;

TEST(CaptureStateTest, TheFirstFatalErrorWinsAndDiscardsNeverReplaceIt) {
    CaptureState cap;
    cap.reset_for_start();
    EXPECT_EQ(cap.report_discards(2), 2u);
    EXPECT_EQ(cap.pending().code, NIVEX_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(cap.pending().arg, 2u);
    EXPECT_TRUE(cap.end_with(NIVEX_ERR_CAP_TIMEOUT));   // replaces the discard report
    EXPECT_FALSE(cap.end_with(NIVEX_ERR_CAP_UNKNOWN));  // the capture had ended already
    EXPECT_EQ(cap.report_discards(5), 3u);
    EXPECT_EQ(cap.pending().code, NIVEX_ERR_CAP_TIMEOUT);
    EXPECT_EQ(cap.ended_result(), NIVEX_ERR_CAP_TIMEOUT);
    EXPECT_TRUE(cap.stopping());
}

TEST(CaptureStateTest, LaterFailuresOfAnEndedCaptureAreNotReportedAgain) {
    // Every outstanding transfer of an unplugged camera fails: one report.
    CaptureState cap;
    cap.reset_for_start();
    EXPECT_TRUE(cap.end_with(NIVEX_ERR_CAP_UNKNOWN));
    cap.clear_shown(cap.pending());
    EXPECT_FALSE(cap.end_with(NIVEX_ERR_CAP_UNKNOWN));
    EXPECT_EQ(cap.pending().code, 0);
    EXPECT_EQ(cap.ended_result(), NIVEX_ERR_CAP_UNKNOWN);
}

TEST(CaptureStateTest, AFetchClearsOnlyTheErrorItShowed) {
    CaptureState cap;
    cap.reset_for_start();
    cap.report_discards(1);
    const CapError shown = cap.pending();
    cap.report_discards(4);  // arrives while the error callback runs
    cap.clear_shown(shown);
    EXPECT_EQ(cap.pending().code, NIVEX_ERR_CAP_FRAME_DISCARD);
    EXPECT_EQ(cap.pending().arg, 4u);
    cap.clear_shown(cap.pending());
    EXPECT_EQ(cap.pending().code, 0);
    EXPECT_EQ(cap.report_discards(4), 0u);  // no growth, no report
    EXPECT_EQ(cap.pending().code, 0);
}

TEST(CaptureStateTest, LimitsOfTimeoutsAndStalls) {
    CaptureState cap;
    cap.reset_for_start();
    for (int i = 0; i < 32; ++i)
        ASSERT_FALSE(cap.count_timeout());
    EXPECT_TRUE(cap.count_timeout());  // the 33rd
    for (int i = 0; i < 16; ++i)
        ASSERT_FALSE(cap.count_stall());
    cap.note_data();  // a data chunk starts the stall count again
    for (int i = 0; i < 16; ++i)
        ASSERT_FALSE(cap.count_stall());
    EXPECT_TRUE(cap.count_stall());
    cap.request_stop();
    EXPECT_FALSE(cap.count_timeout());  // a stopping capture ends no more
}

TEST(CaptureStateTest, EndedCaptureReportsNotCapturingWithoutAFatalError) {
    CaptureState cap;
    cap.reset_for_start();
    EXPECT_TRUE(cap.end_by_cancel());
    EXPECT_FALSE(cap.end_by_cancel());
    EXPECT_EQ(cap.ended_result(), NIVEX_ERR_NOT_CAPTURING);
    cap.reset_for_start();
    cap.force_stop();
    EXPECT_TRUE(cap.forced_stop());
    EXPECT_TRUE(cap.stopping());
    cap.reset_for_start();  // a start clears everything
    EXPECT_FALSE(cap.forced_stop());
    EXPECT_FALSE(cap.stopping());
    EXPECT_EQ(cap.pending().code, 0);
}

TEST(CaptureStateTest, OneFetchAtATimeAndNoneNestedOnTheSameThread) {
    CaptureState cap;
    auto never = [] { return false; };
    ASSERT_EQ(cap.take_turn(nullptr, true, never), CaptureState::Turn::kTaken);
    EXPECT_EQ(cap.take_turn(nullptr, true, never), CaptureState::Turn::kNested);
    CaptureState::Turn other = CaptureState::Turn::kTaken;
    std::thread([&] { other = cap.take_turn(nullptr, false, never); }).join();
    EXPECT_EQ(other, CaptureState::Turn::kNotTaken);
    const auto soon = nx::Clock::now() + std::chrono::milliseconds(20);
    std::thread([&] { other = cap.take_turn(&soon, true, never); }).join();
    EXPECT_EQ(other, CaptureState::Turn::kNotTaken);  // the deadline passed
    cap.give_turn();
    std::thread([&] {
        other = cap.take_turn(nullptr, false, never);
        cap.give_turn();
    }).join();
    EXPECT_EQ(other, CaptureState::Turn::kTaken);
}

}  // namespace
