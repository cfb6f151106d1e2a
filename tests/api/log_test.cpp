// Logging: line format, per-target level filtering, log file (re)opening.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "common/nx_log.h"
#include "support/test_support.h"

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { nx_log_disable(); }
    void TearDown() override {
        nx_log_disable();
        // Back to the levels a process starts with.
        nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_WRN, nullptr);
    }
    nxtest::TempDir dir_;
};

std::string console_of(void (*emit)()) {
    testing::internal::CaptureStdout();
    emit();
    return testing::internal::GetCapturedStdout();
}

TEST_F(LogTest, LineIsStampTagBlankMessage) {
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_TRC, nullptr);
    std::string out = console_of(
        [] { nx_log(NX_LOG_ERR, "ERR", "[%s] open device failed! %d\n", "nivex_dev_open", 7); });
    std::regex line(
        R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[ERR\] \[nivex_dev_open\] open device failed! 7\n$)");
    EXPECT_TRUE(std::regex_match(out, line)) << out;
}

TEST_F(LogTest, LongMessagesAreNotCut) {
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_TRC, nullptr);
    static const std::string long_text(5000, 'x');
    std::string out =
        console_of([] { nx_log(NX_LOG_INF, "INF", "[%s] %s\n", "f", long_text.c_str()); });
    EXPECT_NE(out.find("[f] " + long_text + "\n"), std::string::npos);
}

TEST_F(LogTest, RawTextHasNoStamp) {
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_DBG, nullptr);
    EXPECT_EQ(console_of([] { nx_log_raw(NX_LOG_INF, "plain %d", 5); }), "plain 5");
    EXPECT_EQ(console_of([] { nx_log_raw(NX_LOG_TRC, "below"); }), "");
}

TEST_F(LogTest, EachTargetFiltersByItsOwnLevel) {
    std::string path = dir_.file("levels.log");
    ASSERT_EQ(nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_ERR, nullptr), 1);
    ASSERT_EQ(nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_DBG, path.c_str()), 1);
    std::string out = console_of([] {
        nx_log(NX_LOG_TRC, "TRC", "[%s] trace\n", "t");
        nx_log(NX_LOG_DBG, "DBG", "[%s] debug\n", "t");
        nx_log(NX_LOG_WRN, "WRN", "[%s] warn\n", "t");
        nx_log(NX_LOG_ERR, "ERR", "[%s] error\n", "t");
    });
    EXPECT_EQ(out.find("warn"), std::string::npos);
    EXPECT_NE(out.find("[ERR] [t] error"), std::string::npos);
    std::string file = nxtest::read_file(path);
    EXPECT_EQ(file.find("trace"), std::string::npos);
    EXPECT_NE(file.find("[DBG] [t] debug"), std::string::npos);
    EXPECT_NE(file.find("[WRN] [t] warn"), std::string::npos);
    EXPECT_NE(file.find("[ERR] [t] error"), std::string::npos);
}

TEST_F(LogTest, TargetAboveTwoIsRefusedAndChangesNothing) {
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_INF, nullptr);
    EXPECT_EQ(nx_log_enable(3, NX_LOG_TRC, nullptr), 0);
    EXPECT_EQ(console_of([] { nx_log(NX_LOG_DBG, "DBG", "[%s] hidden\n", "t"); }), "");
}

TEST_F(LogTest, DisableSilencesEverythingAndClosesTheFile) {
    std::string path = dir_.file("off.log");
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_TRC, nullptr);
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, path.c_str());
    EXPECT_EQ(nx_log_disable(), 0);  // fclose succeeded
    EXPECT_EQ(console_of([] { nx_log(NX_LOG_ERR, "ERR", "[%s] after\n", "t"); }), "");
    EXPECT_EQ(nxtest::read_file(path).find("after"), std::string::npos);
    EXPECT_EQ(nx_log_disable(), 0);  // no file open
}

TEST_F(LogTest, FileIsAppendedAndReopenedOnlyForANewName) {
    std::string first = dir_.file("first.log"), second = dir_.file("second.log");
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, first.c_str());
    nx_log(NX_LOG_INF, "INF", "[%s] one\n", "t");
    std::string same_name = first;  // same text, another pointer: same file
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, same_name.c_str());
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, nullptr);  // NULL keeps the open file
    nx_log(NX_LOG_INF, "INF", "[%s] two\n", "t");
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, second.c_str());
    nx_log(NX_LOG_INF, "INF", "[%s] three\n", "t");
    nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, first.c_str());  // appends
    nx_log(NX_LOG_INF, "INF", "[%s] four\n", "t");
    nx_log_disable();

    std::string a = nxtest::read_file(first), b = nxtest::read_file(second);
    EXPECT_NE(a.find("one"), std::string::npos);
    EXPECT_NE(a.find("two"), std::string::npos);
    EXPECT_EQ(a.find("three"), std::string::npos);
    EXPECT_NE(a.find("four"), std::string::npos);
    EXPECT_NE(b.find("three"), std::string::npos);
}

TEST_F(LogTest, UnopenableFileIsReportedAndConsoleGoesOn) {
    std::string bad = dir_.file("missing-folder/x.log");
    nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_INF, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_TRC, bad.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cannot open file " + bad + " for write\n");
    EXPECT_NE(console_of([] { nx_log(NX_LOG_ERR, "ERR", "[%s] still\n", "t"); }).find("still"),
              std::string::npos);
}

TEST_F(LogTest, NullFileNameOpensNxLogInTheWorkingFolder) {
    nxtest::ScopedCwd cwd(dir_.path());
    EXPECT_EQ(nx_log_enable(NX_LOG_TARGET_FILE, NX_LOG_DBG, nullptr), 1);
    nx_log(NX_LOG_DBG, "DBG", "[%s] default file\n", "t");
    nx_log_disable();
    EXPECT_NE(nxtest::read_file(dir_.file("nx.log")).find("default file"), std::string::npos);
}

TEST_F(LogTest, WallClockHasMillisecondResolution) {
    timeval tv{};
    ASSERT_EQ(nx_gettimeofday(&tv, nullptr), 0);
    EXPECT_EQ(tv.tv_usec % 1000, 0);
    timeval libc{};
    gettimeofday(&libc, nullptr);
    EXPECT_LE(std::abs(libc.tv_sec - tv.tv_sec), 1);  // UTC seconds, like the C library's
}

}  // namespace
