// Test fixture for the USB transport against the camera simulator: a fresh
// simulated bus per test, the library log captured in a file, and checks
// that every libusb resource was handed back.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ll/ll_ops.h"
#include "sim/camsim.h"
#include "support/ll_support.h"
#include "support/test_support.h"

namespace nxtest {

using namespace std::chrono_literals;

// Control requests of a camera's wire log, without the status queries.
std::vector<nxsim::WireRecord> commands_of(const nxsim::Camera &cam);
// Number of status queries in a camera's wire log.
int status_queries_of(const nxsim::Camera &cam);

class UsbTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // A session naming `cam` by bus and port, as a device list would.
    ll_device *session_for(const nxsim::Camera &cam);
    // session_for(cam), opened; the test fails when the open does.
    ll_device *open(const nxsim::Camera &cam);

    std::string log() const { return read_file(log_path_); }
    // Log lines at `level` ("TRC" .. "ERR") from function `fn` containing `text`.
    int log_count(std::string_view level, std::string_view fn, std::string_view text) const;
    std::vector<std::string> log_lines(std::string_view level, std::string_view fn,
                                       std::string_view text) const;

    // Set by a test that leaks libusb resources on purpose.
    bool expect_released_ = true;

  private:
    TempDir dir_;
    std::string log_path_;
    std::vector<std::unique_ptr<ll_device>> sessions_;
};

}  // namespace nxtest
