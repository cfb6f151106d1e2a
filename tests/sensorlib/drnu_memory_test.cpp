// Allocation failure of the calibration tables: the call fails cleanly, the
// previous tables stay, the DRNU correction is switched off, and the process
// goes on. The whole test program's operator new is replaced; it fails large
// requests only while a test arms it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "drnu_creation_fixture.h"

namespace {

std::atomic<bool> g_fail_large{false};
constexpr size_t kLarge = 1 << 20;

void *allocate(size_t size) {
    if (g_fail_large.load() && size >= kLarge) throw std::bad_alloc();
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void *operator new(size_t size) {
    return allocate(size);
}
void *operator new[](size_t size) {
    return allocate(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
void *operator new[](size_t size, const std::nothrow_t &tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}

namespace sensortest {
namespace {

using DrnuMemoryTest = SensorTest;

struct FailLargeAllocations {
    FailLargeAllocations() { g_fail_large = true; }
    ~FailLargeAllocations() { g_fail_large = false; }
};

uint16_t phase(int k, int y, int x) {
    return static_cast<uint16_t>(2000 + 500 * k + (x + y) % 11);
}

TEST_F(DrnuMemoryTest, TablesThatCannotBeAllocatedFailTheLoadCleanly) {
    write_images(images_name(), make_images(30, kWidth, kHeight, phase));
    open_and_bind();
    ASSERT_EQ(model().drnu_mode(), 2);
    const auto before = model().calibration();
    const uint16_t word = calibrateGetDistImagePixel(12345);
    {
        FailLargeAllocations fail;
        EXPECT_EQ(calibrationLoadDistanceImages(1), -1);
    }
    EXPECT_TRUE(logged("[ERR] [calibrationLoadDistanceImages] malloc failed\n"));
    EXPECT_EQ(model().drnu_mode(), 0);
    EXPECT_EQ(model().calibration(), before);
    EXPECT_EQ(calibrateGetDistImagePixel(12345), word);

    calculationSetEnableDRNU(2);
    {
        FailLargeAllocations fail;
        EXPECT_EQ(configInit(32), 0);  // the sensor set-up itself succeeds
    }
    EXPECT_EQ(model().drnu_mode(), 0);
    EXPECT_FALSE(model().temperature_correction());
    EXPECT_EQ(calibrateGetDistImagePixel(12345), word);
    EXPECT_EQ(calibrationLoadDistanceImages(1), 0);  // and works again afterwards
}

// The procedure's tables (six residual planes: 2 MB) cannot be had: the
// first step fails, the procedure ends with -1 and the sensor at rest.
TEST_F(DrnuCreationTest, ProcedureWithoutMemoryForItsTablesFailsCleanly) {
    open_camera(sphere_config(), 6);
    calculationSetMinAmplitude(9);
    {
        FailLargeAllocations fail;
        EXPECT_EQ(calibrationDRNU(), -1);
    }
    EXPECT_TRUE(logged("[ERR] [calibrationCreateDRNU_LUT] Malloc failed\n"));
    EXPECT_EQ(static_cast<uint8_t>(cam_.reg(1, 0xAE)), 1);
    EXPECT_EQ(static_cast<uint8_t>(cam_.reg(1, 0x73)), 0);
    EXPECT_EQ(calculationGetMinAmplitude(), 9);
    EXPECT_FALSE(file_exists(data_file("calib_and_param_007.bin")));
    EXPECT_EQ(calibrationDRNU(), 0);  // and works once memory is there
}

}  // namespace
}  // namespace sensortest
