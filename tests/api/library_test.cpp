// Library start and end, data-folder prefix, error names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "common/nx_log.h"
#include "imgproc/nx_cmap.h"
#include "nivex.h"
#include "support/test_support.h"

namespace {

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { cwd_.emplace(dir_.path()); }
    void TearDown() override {
        nivex_uninit();
        nx_log_enable(NX_LOG_TARGET_CONSOLE, NX_LOG_WRN, nullptr);
        cwd_.reset();
    }
    nxtest::TempDir dir_;
    std::optional<nxtest::ScopedCwd> cwd_;
};

bool is_dir(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST_F(LibraryTest, InitWritesTheBannerToTheDatedLogAndBuildsTheColourMap) {
    ASSERT_TRUE(nivex_init(nullptr));
    EXPECT_STREQ(nivex_path_get(), "./");
    EXPECT_EQ(g_nx_cmap.size, 30000);
    EXPECT_NE(g_nx_cmap.table, nullptr);
    nivex_uninit();

    char name[64];
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    std::snprintf(name, sizeof name, "nivex_%04d%02d%02d.log", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday);
    std::string log = nxtest::read_file(name);
    EXPECT_NE(log.find("[INF] [nivex_init]  --- NIVEX v1.42(compile at "), std::string::npos);
    EXPECT_NE(log.find(") log start -----\n"), std::string::npos);
    EXPECT_NE(log.find("[DBG] [nivex_uninit] ----- AL log END ----\n\n"), std::string::npos);
    EXPECT_EQ(g_nx_cmap.table, nullptr);
}

TEST_F(LibraryTest, NothingIsLoggedAfterUninit) {
    ASSERT_TRUE(nivex_init("a.log"));
    nivex_uninit();
    testing::internal::CaptureStdout();
    nx_log(NX_LOG_ERR, "ERR", "[%s] late\n", "t");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(LibraryTest, LogCfgWithoutInitOpensNxLog) {
    nx_log_disable();
    nivex_log_cfg(NX_LOG_ERR, NX_LOG_DBG, NX_LOG_OFF);
    nx_log(NX_LOG_DBG, "DBG", "[%s] to file\n", "t");
    nx_log_disable();
    EXPECT_NE(nxtest::read_file("nx.log").find("to file"), std::string::npos);
}

TEST_F(LibraryTest, PathCfgCreatesEveryFolderAndKeepsTheText) {
    EXPECT_EQ(nivex_path_cfg("data/cam1/"), 0);
    EXPECT_TRUE(is_dir("data"));
    EXPECT_TRUE(is_dir("data/cam1"));
    EXPECT_STREQ(nivex_path_get(), "data/cam1/");
    EXPECT_EQ(nivex_path_cfg("data/cam1/"), 0);  // exists already
}

TEST_F(LibraryTest, PathCfgTakesBackslashesAsSeparators) {
    EXPECT_EQ(nivex_path_cfg("win\\style\\"), 0);
    EXPECT_TRUE(is_dir("win/style"));
    EXPECT_STREQ(nivex_path_get(), "win/style/");
}

TEST_F(LibraryTest, PathCfgCutsLongPathsTo255Characters) {
    std::string longest(300, 'p');
    nivex_path_cfg(longest.c_str());  // too long a name for the file system: result ignored
    EXPECT_EQ(std::string(nivex_path_get()), longest.substr(0, 255));
}

TEST_F(LibraryTest, PathCfgFailsWhereNoFolderCanBeMade) {
    FILE *f = std::fopen("blocker", "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(nivex_path_cfg("blocker/sub"), -1);
    EXPECT_EQ(nivex_path_cfg(nullptr), -1);
}

TEST(ErrorName, NamedAndUnknownCodes) {
    EXPECT_STREQ(nivex_error_name(-10), "NIVEX_ERR_CAP_UNKNOWN");
    EXPECT_STREQ(nivex_error_name(-8), "NIVEX_ERR_CAP_ERROR");
    EXPECT_STREQ(nivex_error_name(-7), "NIVEX_ERR_CAP_STALL");
    EXPECT_STREQ(nivex_error_name(-5), "NIVEX_ERR_CAP_TIMEOUT");
    EXPECT_STREQ(nivex_error_name(0), "OK");
    EXPECT_STREQ(nivex_error_name(3), "NIVEX_ERR_CAP_FRAME_DISCARD");
    for (int code : {-11, -9, -6, -4, -3, -2, -1, 1, 2, 4, 100, INT32_MIN, INT32_MAX}) {
        EXPECT_STREQ(nivex_error_name(code), "**UNKNOWN**") << code;
    }
}

}  // namespace
