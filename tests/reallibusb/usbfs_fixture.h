// Fixtures for tests on the real libusb-1.0 with camera models behind
// umockdev's faked usbfs: a fresh testbed per test, the library log in a
// file, and a check that libusb let go of every device node. Without
// umockdev's preload library the tests report themselves skipped.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ll/ll_ops.h"
#include "nivex.h"
#include "sim/umockdev/usbfs_bus.h"
#include "support/ll_support.h"
#include "support/test_support.h"

namespace nxtest {

using nxsim::umock::UsbfsCamera;

// Control requests of a camera's wire log, without the status queries.
std::vector<nxsim::WireRecord> commands_of(const UsbfsCamera &cam);
int status_queries_of(const UsbfsCamera &cam);

// The transport (nivex_ll_*) against cameras on the testbed.
class RealUsbTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    UsbfsCamera add_camera(const nxsim::CameraConfig &config = {}) {
        return bus_->add_camera(config);
    }
    // A session naming `cam` by bus and port, as a device list would.
    ll_device *session_for(const UsbfsCamera &cam);
    // session_for(cam), opened; the test fails when the open does.
    ll_device *open(const UsbfsCamera &cam);

    std::string log() const { return read_file(log_path_); }
    std::vector<std::string> log_lines(std::string_view level, std::string_view fn,
                                       std::string_view text) const {
        return log_lines_in(log(), level, fn, text);
    }
    int log_count(std::string_view level, std::string_view fn, std::string_view text) const {
        return static_cast<int>(log_lines(level, fn, text).size());
    }

    std::optional<nxsim::umock::UsbfsBus> bus_;

  private:
    TempDir dir_;
    std::string log_path_;
    std::vector<std::unique_ptr<ll_device>> sessions_;
};

// The public API against cameras on the testbed, with the library started on
// a fresh folder (working, data and log folder).
class RealApiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    std::string log() const { return read_file(log_path_); }

    std::optional<nxsim::umock::UsbfsBus> bus_;
    nivex_device dev_{};

  private:
    TempDir dir_;
    std::optional<ScopedCwd> cwd_;
    std::string log_path_;
};

// libusb closes a device node when its handle closes; the testbed hears of
// it a moment later.
bool all_files_closed(const nxsim::umock::UsbfsBus &bus);

}  // namespace nxtest
