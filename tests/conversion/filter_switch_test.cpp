// The filter switches: what reaches the driver, the arguments some ids need,
// the TI driver's answer, unusable devices.
#include "conversion/conversion_fixture.h"

namespace nxtest {
namespace {

class FilterSwitchTest : public ConversionTest {};

TEST_F(FilterSwitchTest, CallsReachTheDriverWithTheCallersArgument) {
    TestDriver driver;
    DriverOverride use(dev_, driver);
    nivex_filter_args arg{};
    arg.median_size = 3;
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_DEPTH_SMOOTH, &arg, sizeof arg), 1);
    EXPECT_EQ(nivex_filter_disable(&dev_, NIVEX_FILTER_HDR), 1);
    ASSERT_EQ(driver.filter_calls.size(), 2u);
    EXPECT_TRUE(driver.filter_calls[0].enable);
    EXPECT_EQ(driver.filter_calls[0].id, NIVEX_FILTER_DEPTH_SMOOTH);
    EXPECT_EQ(driver.filter_calls[0].arg, &arg);
    EXPECT_EQ(driver.filter_calls[0].arg_size, sizeof arg);
    EXPECT_FALSE(driver.filter_calls[1].enable);
    EXPECT_EQ(driver.filter_calls[1].id, NIVEX_FILTER_HDR);

    // The driver's write-back into the caller's argument reaches the caller.
    arg.calib_mode = 7;
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_PIXEL_CALIB, &arg, sizeof arg), 1);
    EXPECT_EQ(arg.calib_mode, 1);

    driver.filter_result = false;
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_PIXEL_CALIB, &arg, sizeof arg), 0);
    EXPECT_EQ(nivex_filter_disable(&dev_, 42), 0);
}

TEST_F(FilterSwitchTest, IdsThatReadTheArgumentRefuseNull) {
    TestDriver driver;
    DriverOverride use(dev_, driver);
    for (int id : {1, 2, 4, 5, 6, 7}) {
        EXPECT_EQ(nivex_filter_enable(&dev_, id, nullptr, 0), -1) << id;
        EXPECT_TRUE(
            logged("[nivex_filter_enable] filter " + std::to_string(id) + " needs an argument"));
    }
    EXPECT_TRUE(driver.filter_calls.empty());
    for (int id : {0, 3, 8, 42})
        EXPECT_EQ(nivex_filter_enable(&dev_, id, nullptr, 0), 1) << id;
    for (int id : {0, 1, 2, 4, 8})
        EXPECT_EQ(nivex_filter_disable(&dev_, id), 1) << id;
    EXPECT_EQ(driver.filter_calls.size(), 9u);
}

// The TI driver has no switchable filters: nothing can be switched on, and
// everything is off.
TEST_F(FilterSwitchTest, TiDriverRefusesEnablingAndAgreesToDisabling) {
    nivex_filter_args arg{};
    arg.min_amp = 40;
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_MIN_AMP, &arg, sizeof arg), 0);
    EXPECT_TRUE(logged("[nivex_filter_enable] TI OP8241 chip driver has no filter 4"));
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_LENS_UNDISTORT, nullptr, 0), 0);
    EXPECT_EQ(nivex_filter_disable(&dev_, NIVEX_FILTER_MIN_AMP), 1);
    EXPECT_EQ(nivex_filter_disable(&dev_, 42), 1);
    EXPECT_EQ(nivex_filter_enable(&dev_, NIVEX_FILTER_MIN_AMP, nullptr, 0), -1);
}

TEST_F(FilterSwitchTest, UnusableDevicesGiveMinusOne) {
    nivex_filter_args arg{};
    EXPECT_EQ(nivex_filter_enable(nullptr, 0, &arg, sizeof arg), -1);
    EXPECT_EQ(nivex_filter_disable(nullptr, 0), -1);
    nivex_device never_opened{};
    EXPECT_EQ(nivex_filter_enable(&never_opened, 0, &arg, sizeof arg), -1);
    nivex_dev_close(&dev_);
    EXPECT_EQ(nivex_filter_disable(&dev_, 0), -1);
    EXPECT_TRUE(logged("[nivex_filter_enable]  Device handler Is NULL!"));
    EXPECT_TRUE(logged("[nivex_filter_disable]  Device handler Is NULL!"));
}

}  // namespace
}  // namespace nxtest
