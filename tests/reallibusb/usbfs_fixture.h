// Fixture for tests of the public API on the real libusb-1.0 with camera
// models behind umockdev's faked usbfs: a fresh testbed per test, the library
// log in a file, and a check that libusb let go of every device node. Without
// umockdev's preload library the tests report themselves skipped. (The
// transport's scenarios run here through tests/support/transport_scenarios.h.)
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "nivex.h"
#include "sim/umockdev/usbfs_bus.h"
#include "support/ll_support.h"
#include "support/test_support.h"

namespace nxtest {

using nxsim::umock::UsbfsCamera;

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
