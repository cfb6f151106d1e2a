// Listing, opening, resetting and closing cameras through the public API.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "api/session.h"
#include "support/ll_support.h"
#include "support/sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using nxtest::SimTest;

class SessionTest : public SimTest {};

TEST_F(SessionTest, ListingWithoutCamerasLeavesTheRecordsZeroed) {
    nivex_device list[4];
    std::memset(list, 0x5A, sizeof list);
    EXPECT_EQ(nivex_dev_list(list, 4), 0);
    for (const nivex_device &d : list) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(&d);
        for (size_t i = 0; i < sizeof d; ++i)
            ASSERT_EQ(bytes[i], 0);
    }
}

TEST_F(SessionTest, ListingRefusesBadArguments) {
    nivex_device one{};
    EXPECT_EQ(nivex_dev_list(nullptr, 4), 0);
    EXPECT_EQ(nivex_dev_list(&one, 0), 0);
    EXPECT_EQ(nivex_dev_list(&one, -1), 0);
    EXPECT_TRUE(logged("[nivex_dev_list]   wrong params: dev_list=(nil), dev_list_num=4 \n"));
}

TEST_F(SessionTest, ListingSeveralCamerasFillsTheirIdentity) {
    nxsim::Camera a = add_camera(), b = add_camera(), c = add_camera();
    nivex_device list[4];
    ASSERT_EQ(nivex_dev_list(list, 4), 3);
    const nxsim::Camera cams[] = {c, b, a};  // libusb's order: the last port first
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].handle, nullptr);
        EXPECT_EQ(list[i].usb_bus, cams[i].bus());
        EXPECT_EQ(list[i].usb_port, cams[i].port());
        EXPECT_EQ(list[i].usb_addr, cams[i].address());
        EXPECT_EQ(list[i].usb_speed, cams[i].speed());
        EXPECT_EQ(list[i].ident_valid, 1);
        EXPECT_EQ(list[i].product[0], '\0');  // identity parameters come with open
    }
    nivex_device first{};
    EXPECT_EQ(nivex_dev_list(&first, 1), 1);
    EXPECT_EQ(first.usb_port, c.port());
}

TEST_F(SessionTest, OpenFillsIdentityFromTheCamera) {
    nxsim::CameraConfig config;
    config.product = "NVX-T0-1.0";
    config.info = "INFO TEXT 18 CHARS";
    config.id_data = {1, 2, 3, 4, 5};
    config.info_data = {9, 8, 7, 6, 5, 4, 3, 2};
    nxsim::Camera cam = nxsim::add_camera(config);
    dev_.api_busy = 1;  // whatever the record held: an open device is not busy
    ASSERT_EQ(open_first(), &dev_);
    EXPECT_NE(dev_.handle, nullptr);
    EXPECT_STREQ(dev_.product, "NVX-T0-1.0");
    EXPECT_STREQ(dev_.info_str, "INFO TEXT 18 CHARS");
    EXPECT_EQ(std::memcmp(dev_.id_data, config.id_data.data(), 5), 0);
    EXPECT_EQ(std::memcmp(dev_.info_data, config.info_data.data(), 8), 0);
    EXPECT_EQ(dev_.usb_bus, cam.bus());
    EXPECT_EQ(dev_.usb_port, cam.port());
    EXPECT_EQ(dev_.usb_addr, cam.address());
    EXPECT_EQ(dev_.ident_valid, 1);
    EXPECT_EQ(dev_.data_path, nivex_path_get());
    EXPECT_EQ(dev_.api_busy, 0);
    ASSERT_NE(nivex_dev_get_drv(&dev_), nullptr);
    EXPECT_STREQ(nivex_dev_get_drv(&dev_)->product_code, "T0");
    EXPECT_EQ(nivex_dev_get_drv(&dev_)->dev, &dev_);
    EXPECT_TRUE(logged("[DBG] [_nivex_param_batch_get] get 4 param\n"));
}

TEST_F(SessionTest, DefaultDeviceOnceAtATime) {
    add_camera();
    nivex_device *first = nivex_dev_open(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(nivex_dev_open(nullptr), nullptr);
    EXPECT_TRUE(logged("[nivex_dev_open] default device may not close properly!"));
    nivex_dev_close(first);
    EXPECT_EQ(first->handle, nullptr);
    nivex_device *again = nivex_dev_open(nullptr);
    EXPECT_EQ(again, first);
    nivex_dev_close(again);
}

TEST_F(SessionTest, ClosedRecordReopensTheSameCamera) {
    nxsim::Camera later = add_camera();  // listed second
    add_camera();
    nivex_device list[2];
    ASSERT_EQ(nivex_dev_list(list, 2), 2);
    dev_ = list[1];
    ASSERT_EQ(open_first(), &dev_);
    nivex_dev_close(&dev_);
    EXPECT_EQ(dev_.handle, nullptr);
    nivex_dev_close(&dev_);  // closing again is harmless
    ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    EXPECT_EQ(dev_.usb_port, later.port());
}

TEST_F(SessionTest, MissedCloseIsRepairedAtTheNextOpen) {
    add_camera();
    ASSERT_EQ(open_first(), &dev_);
    ll_device *old_handle = dev_.handle;
    ASSERT_EQ(nivex_dev_open(&dev_), &dev_);
    EXPECT_TRUE(logged("[nivex_dev_open] device not close correctly. close it..\n"));
    EXPECT_NE(dev_.handle, nullptr);
    EXPECT_EQ(nxsim::usb_stats().open_handles, 1);
    (void)old_handle;
}

TEST_F(SessionTest, ProductsWithoutADriverFailTheOpenCleanly) {
    for (const char *product : {"NVX-X9-1.0", "NVX-t0-1.0", "ABCDEFGHIJKLMNOPQ-T0-1.0"}) {
        nxsim::reset();
        add_camera(product);
        nivex_device dev{};
        EXPECT_EQ(nivex_dev_open(&dev), nullptr) << product;
        EXPECT_EQ(dev.handle, nullptr);
        // The camera reports at most 18 characters of its product text.
        std::string reported = std::string(product).substr(0, 18);
        EXPECT_TRUE(logged("cannot find driver for device: product=" + reported + "\n"));
        EXPECT_EQ(nxsim::usb_stats().open_handles, 0);
        EXPECT_EQ(nxsim::usb_stats().contexts, 0);
    }
}

TEST_F(SessionTest, FailedOpenFreesARecordTheCallerHandedOver) {
    add_camera("NVX-X9-1.0");
    nxtest::ObservedRecord record;
    ASSERT_NE(record.freed(), std::optional<bool>(true));
    EXPECT_EQ(nivex_dev_open(record.get()), nullptr);
    if (std::optional<bool> freed = record.freed()) {
        EXPECT_TRUE(*freed);
    }
}

TEST_F(SessionTest, CloseFreesARecordTheCallerHandedOver) {
    add_camera();
    nxtest::ObservedRecord record;
    ASSERT_EQ(nivex_dev_open(record.get()), record.get());
    ASSERT_NE(record.freed(), std::optional<bool>(true));
    nivex_dev_close(record.get());
    if (std::optional<bool> freed = record.freed()) {
        EXPECT_TRUE(*freed);
    }
}

int failing_calib_load(chip_driver *, int, int, int) {
    return -1;
}

TEST_F(SessionTest, FailedCalibrationLoadStillOpensTheDevice) {
    add_camera();
    nivex_device probe{};
    std::strcpy(probe.product, "NVX-T0-1.0");
    chip_driver *row = nivex_drv_find(&probe);
    ASSERT_NE(row, nullptr);
    // The TI row with a calibration load that fails, for this open only. The
    // open device drives a copy of the row that keeps these operations until
    // it is closed, after the test's body: they must outlive the body.
    static chip_driver_ops failing;
    failing = *row->ops;
    failing.calib_load = failing_calib_load;
    const chip_driver_ops *shipped = row->ops;
    row->ops = &failing;
    nivex_device *opened = nivex_dev_open(&dev_);
    row->ops = shipped;
    ASSERT_EQ(opened, &dev_);
    EXPECT_TRUE(logged("[ERR] [nivex_dev_open] Load calibration data failed\n"));
    nivex_param_entry fps{};
    fps.param_id = NIVEX_PARAM_FRAME_RATE;
    EXPECT_TRUE(nivex_param_batch_get(&dev_, &fps, 1));  // the device is usable
}

TEST_F(SessionTest, OpenWithoutCameraFails) {
    EXPECT_EQ(nivex_dev_open(&dev_), nullptr);
    EXPECT_TRUE(logged("[nivex_dev_open] open device failed!\n"));
}

TEST_F(SessionTest, ResetTargets) {
    nxsim::Camera cam = add_camera();
    ASSERT_EQ(open_first(), &dev_);
    cam.clear_wire_log();
    EXPECT_FALSE(nivex_dev_reset(&dev_, 9));
    EXPECT_TRUE(logged("[nivex_dev_reset] wrong reset target: 9\n"));
    EXPECT_TRUE(cam.wire_log().empty());
    EXPECT_TRUE(nivex_dev_reset(&dev_, 8));
    std::vector<nxsim::WireRecord> wire = cam.wire_log();
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0].request, 0xC0);
    EXPECT_EQ(wire[0].value, 0);
    EXPECT_EQ(wire[0].data, (std::vector<uint8_t>{8, 0, 0, 0}));
}

TEST_F(SessionTest, InterfaceResetReopensTheCameraAtItsNewAddress) {
    nxsim::Camera cam = add_camera();
    ASSERT_EQ(open_first(), &dev_);
    uint8_t before = cam.address();
    const uint32_t enumerations = cam.counters().enumerations;
    EXPECT_FALSE(nivex_dev_reset(&dev_, 3));  // false even when the reopen worked
    EXPECT_NE(cam.address(), before);
    EXPECT_EQ(cam.counters().enumerations, enumerations + 1);
    EXPECT_EQ(dev_.usb_port, cam.port());
    EXPECT_TRUE(logged("[usb_ll_dev_reset] Reset usb if end. \n"));
    EXPECT_FALSE(logged("reopen device failed!"));
    nivex_param_entry fps{};
    fps.param_id = NIVEX_PARAM_FRAME_RATE;
    EXPECT_TRUE(nivex_param_batch_get(&dev_, &fps, 1));
}

TEST_F(SessionTest, EveryCallRefusesAClosedOrMissingDevice) {
    add_camera();
    ASSERT_EQ(open_first(), &dev_);
    nivex_dev_close(&dev_);
    nivex_param_entry entry{};
    uint32_t reg = 0;
    uint32_t size = 1;
    void *buf = &reg;
    for (nivex_device *dev : {&dev_, static_cast<nivex_device *>(nullptr)}) {
        EXPECT_FALSE(nivex_dev_reset(dev, 0));
        EXPECT_FALSE(nivex_param_batch_set(dev, &entry, 1));
        EXPECT_FALSE(nivex_param_batch_get(dev, &entry, 1));
        EXPECT_FALSE(nivex_reg_batch_write(dev, 1, 0, &reg, 1));
        EXPECT_FALSE(nivex_reg_batch_read(dev, 1, 0, &reg, 1));
        EXPECT_FALSE(nivex_cap_set_frame_buffer(dev, nullptr, 614400));
        EXPECT_FALSE(nivex_cap_start(dev));
        EXPECT_FALSE(nivex_cap_stop(dev));
        EXPECT_FALSE(nivex_cap_is_ongoing(dev));
        EXPECT_FALSE(nivex_cap_snapshot(dev, &reg, 4, nullptr));
        EXPECT_FALSE(nivex_cap_wait(dev, 10));
        EXPECT_FALSE(nivex_cap_set_callback_on_error(dev, nullptr));
        EXPECT_EQ(nivex_cap_get_frames(dev, 1, &reg, 4, nullptr), -1);
        EXPECT_EQ(nivex_cap_get_frame(dev, &reg, 4, nullptr), -1);
        EXPECT_TRUE(nivex_cap_get_frame_buffer(dev, &buf, &size));
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(nivex_dev_get_drv(dev), nullptr);
    }
    EXPECT_TRUE(logged("[nivex_param_batch_get]  Device handler Is NULL!\r\n"));
    EXPECT_EQ(nivex_dev_open_by_fd(3), nullptr);
    EXPECT_TRUE(
        logged("[nivex_dev_open_by_fd] nivex_dev_open_by_fd currently only support in android!\n"));
}

TEST_F(SessionTest, StaleCopyOfAClosedRecordIsRefused) {
    add_camera();
    ASSERT_EQ(open_first(), &dev_);
    nivex_device copy = dev_;  // keeps the old handle
    nivex_dev_close(&dev_);
    nivex_param_entry entry{};
    entry.param_id = NIVEX_PARAM_FRAME_RATE;
    EXPECT_FALSE(nivex_param_batch_get(&copy, &entry, 1));
    nivex_dev_close(&copy);  // nothing to close, nothing freed twice
}

TEST_F(SessionTest, CloseWaitsForACallInProgress) {
    nxsim::Camera cam = add_camera();
    ASSERT_EQ(open_first(), &dev_);
    // The next parameter get hangs until cancelled: the call takes about 2 s.
    cam.inject_hang(1, 0xC0);
    auto call = std::async(std::launch::async, [&] {
        nivex_param_entry entry{};
        entry.param_id = NIVEX_PARAM_FRAME_RATE;
        return nivex_param_batch_get(&dev_, &entry, 1);
    });
    ASSERT_TRUE(
        nxtest::eventually([&] { return std::atomic_ref<uint8_t>(dev_.api_busy).load() != 0; }));
    nivex_dev_close(&dev_);
    // Close waited for the call: it is over once close returns.
    ASSERT_EQ(call.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(call.get());
    EXPECT_EQ(dev_.handle, nullptr);
}

}  // namespace
