// Fixture for tests that run the library against simulated cameras.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "nivex.h"
#include "sim/camsim.h"
#include "support/test_support.h"

namespace nxtest {

// Starts the library with a trace-level log file in a fresh folder (also the
// working and data folder) and an empty simulated bus; undoes it all after.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A camera with the given product text on the bus.
    nxsim::Camera add_camera(const std::string &product = "NVX-T0-1.0");
    // Opens the first camera into dev_; fails the test when it cannot.
    nivex_device *open_first();
    // Everything logged so far.
    std::string log_text() const;
    bool logged(const std::string &text) const {
        return log_text().find(text) != std::string::npos;
    }

    TempDir dir_;
    nivex_device dev_{};

  private:
    std::optional<ScopedCwd> cwd_;
    std::string log_path_;
};

// Another thread holds the turn to fetch from `dev`: its fetch or wait is
// under way (past its checks, about to wait or waiting).
bool fetch_under_way(const nivex_device *dev);

}  // namespace nxtest
