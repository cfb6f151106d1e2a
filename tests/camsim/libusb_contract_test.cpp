// What a USB transport relies on from libusb, checked the same way against
// the real libusb-1.0 (test_camsim_real_libusb) and the simulated one (test_camsim).
// On a machine without a USB bus both must look alike.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <filesystem>
#include <string>

#ifndef NIVEX_CONTRACT_REAL_LIBUSB
#include "sim/camsim.h"
#endif

namespace {

using namespace std::chrono_literals;

class LibusbContract : public ::testing::Test {
  protected:
    void SetUp() override {
#ifndef NIVEX_CONTRACT_REAL_LIBUSB
        nxsim::reset();  // an empty bus, like this machine's
#endif
        init_result_ = libusb_init(&ctx_);
        if (init_result_ != LIBUSB_SUCCESS) {
            // Documented: a negative error code, and no context.
            EXPECT_LT(init_result_, 0);
            EXPECT_EQ(std::string(libusb_error_name(init_result_)).rfind("LIBUSB_ERROR_", 0), 0u);
            GTEST_SKIP() << "libusb_init failed here: " << libusb_error_name(init_result_);
        }
    }
    void TearDown() override {
        if (ctx_) libusb_exit(ctx_);
    }

    int init_result_ = 0;
    libusb_context *ctx_ = nullptr;
};

TEST_F(LibusbContract, ListingWithoutAUsbBusFindsNothing) {
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(ctx_, &list);
    ASSERT_GE(n, 0);
    EXPECT_EQ(list[n], nullptr);
    if (!std::filesystem::exists("/dev/bus/usb")) {
        EXPECT_EQ(n, 0);
    }
    libusb_free_device_list(list, 1);
    libusb_free_device_list(nullptr, 1);  // tolerated
}

TEST_F(LibusbContract, LogLevelOption) {
    EXPECT_EQ(libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_WARNING), 0);
    EXPECT_EQ(libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, 7), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_set_option(ctx_, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE), 0);
}

TEST_F(LibusbContract, EventHandlingWithNothingToDo) {
    int completed = 1;
    timeval tv{5, 0};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_handle_events_timeout_completed(ctx_, &tv, &completed), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);  // the flag was set: not 5 s

    timeval wait{0, 30000};
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_handle_events_timeout(ctx_, &wait), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 25ms);
    EXPECT_LT(took, 10s);

    timeval negative{-1, 0};
    EXPECT_EQ(libusb_handle_events_timeout_completed(ctx_, &negative, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);
}

TEST_F(LibusbContract, TransfersStartZeroed) {
    libusb_transfer *t = libusb_alloc_transfer(0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->dev_handle, nullptr);
    EXPECT_EQ(t->flags, 0);
    EXPECT_EQ(t->length, 0);
    EXPECT_EQ(t->num_iso_packets, 0);
    EXPECT_EQ(libusb_transfer_get_stream_id(t), 0u);
    libusb_transfer_set_stream_id(t, 9);
    EXPECT_EQ(libusb_transfer_get_stream_id(t), 9u);
    libusb_free_transfer(t);
    libusb_free_transfer(nullptr);  // tolerated

    libusb_transfer *iso = libusb_alloc_transfer(3);
    ASSERT_NE(iso, nullptr);
    EXPECT_EQ(iso->num_iso_packets, 0);  // the caller fills it in
    iso->iso_packet_desc[2].length = 5;  // room for the descriptors
    libusb_free_transfer(iso);
}

TEST_F(LibusbContract, ErrorNames) {
    const std::pair<int, const char *> names[] = {
        {LIBUSB_SUCCESS, "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED"},
        {LIBUSB_ERROR_IO, "LIBUSB_ERROR_IO"},
        {LIBUSB_ERROR_INVALID_PARAM, "LIBUSB_ERROR_INVALID_PARAM"},
        {LIBUSB_ERROR_ACCESS, "LIBUSB_ERROR_ACCESS"},
        {LIBUSB_ERROR_NO_DEVICE, "LIBUSB_ERROR_NO_DEVICE"},
        {LIBUSB_ERROR_NOT_FOUND, "LIBUSB_ERROR_NOT_FOUND"},
        {LIBUSB_ERROR_BUSY, "LIBUSB_ERROR_BUSY"},
        {LIBUSB_ERROR_TIMEOUT, "LIBUSB_ERROR_TIMEOUT"},
        {LIBUSB_ERROR_OVERFLOW, "LIBUSB_ERROR_OVERFLOW"},
        {LIBUSB_ERROR_PIPE, "LIBUSB_ERROR_PIPE"},
        {LIBUSB_ERROR_INTERRUPTED, "LIBUSB_ERROR_INTERRUPTED"},
        {LIBUSB_ERROR_NO_MEM, "LIBUSB_ERROR_NO_MEM"},
        {LIBUSB_ERROR_NOT_SUPPORTED, "LIBUSB_ERROR_NOT_SUPPORTED"},
        {LIBUSB_ERROR_OTHER, "LIBUSB_ERROR_OTHER"},
        {LIBUSB_TRANSFER_ERROR, "LIBUSB_TRANSFER_ERROR"},
        {LIBUSB_TRANSFER_TIMED_OUT, "LIBUSB_TRANSFER_TIMED_OUT"},
        {LIBUSB_TRANSFER_CANCELLED, "LIBUSB_TRANSFER_CANCELLED"},
        {LIBUSB_TRANSFER_STALL, "LIBUSB_TRANSFER_STALL"},
        {LIBUSB_TRANSFER_NO_DEVICE, "LIBUSB_TRANSFER_NO_DEVICE"},
        {LIBUSB_TRANSFER_OVERFLOW, "LIBUSB_TRANSFER_OVERFLOW"},
        {12345, "**UNKNOWN**"},
    };
    for (auto [code, name] : names)
        EXPECT_STREQ(libusb_error_name(code), name) << code;
}

TEST(LibusbContractDefault, DefaultContextIsCounted) {
#ifndef NIVEX_CONTRACT_REAL_LIBUSB
    nxsim::reset();
#endif
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    libusb_exit(nullptr);
    libusb_device **list = nullptr;
    ssize_t n = libusb_get_device_list(nullptr, &list);  // still alive after one exit
    EXPECT_GE(n, 0);
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
}

}  // namespace
