// The adapter without a device: it starts the library, opens the first
// camera itself and closes it again at the end; its progress lines go to the
// library log, nothing to standard output.
#include <gtest/gtest.h>

#include <filesystem>

#include "sensor_fixture.h"

namespace sensortest {
namespace {

using StandaloneAdapterTest = SensorTest;

// The dated log file the library opens when started without a log name.
std::string dated_log(const std::filesystem::path &dir) {
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("nivex_", 0) == 0 && entry.path().extension() == ".log")
            return nxtest::read_file(entry.path().string());
    }
    return {};
}

TEST_F(StandaloneAdapterTest, OpensClosesAndReopensTheFirstCamera) {
    cam_ = add_sensor_camera();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(epc_adapter_init(nullptr));
    nivex_device *dev = nx::sensor::current_device();
    ASSERT_NE(dev, nullptr);
    void *buf = nullptr;
    uint32_t size = 0;
    ASSERT_TRUE(nivex_cap_get_frame_buffer(dev, &buf, &size));
    EXPECT_EQ(size, 6144000u);
    uint8_t pll = 0;
    uint8_t *bytes = &pll;
    EXPECT_EQ(i2c(32, 'r', 0x82, 1, &bytes), 0);
    EXPECT_EQ(pll, 23);

    ASSERT_TRUE(epc_adapter_init(nullptr));  // closes the first session, opens anew
    EXPECT_NE(nx::sensor::current_device(), nullptr);
    epc_adapter_uninit();
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    EXPECT_EQ(nxsim::usb_stats().open_handles, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string log = dated_log(dir_.path());
    EXPECT_NE(log.find("[INF] [epc_adapter_init] close dev..\n"), std::string::npos);
    EXPECT_NE(log.find("[INF] [epc_adapter_init] uninit done..\n"), std::string::npos);
    EXPECT_NE(log.find("[INF] [epc_adapter_uninit] close dev..\n"), std::string::npos);
    EXPECT_NE(log.find("[INF] [epc_adapter_uninit] uninit done..\n"), std::string::npos);
}

TEST_F(StandaloneAdapterTest, FailsWithoutACamera) {
    EXPECT_FALSE(epc_adapter_init(nullptr));
    EXPECT_EQ(nx::sensor::current_device(), nullptr);
    EXPECT_EQ(nxsim::usb_stats().contexts, 0);  // the library was ended again
}

}  // namespace
}  // namespace sensortest
