// An application that links libnivex.so and happens to define functions with
// the sensor library's names. The library's own calls between those functions
// must still reach the library, not the application.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>

#include "nivex_sensorlib.h"
#include "sim/camsim.h"

namespace {

std::atomic<int> g_own_calls{0};

}  // namespace

extern "C" {

int i2c(int, char, int, int, unsigned char **) {
    ++g_own_calls;
    return -1;
}
int configInit(int) {
    ++g_own_calls;
    return -1;
}
int apiSetROI(int, int, int, int, int) {
    ++g_own_calls;
    return -1;
}
int calibrationLoadDistanceImages(int) {
    ++g_own_calls;
    return -1;
}
}

namespace {

// Sensor register writes (target 1) on the wire: first register, payload.
std::vector<uint32_t> written_registers(const nxsim::Camera &cam) {
    std::vector<uint32_t> regs;
    for (const nxsim::WireRecord &r : cam.wire_log()) {
        if (r.request != 0xC2 || r.is_in() || r.value != 0 || r.data.size() < 7) continue;
        if (r.data[0] == 1) regs.push_back(r.data[1]);
    }
    return regs;
}

TEST(OwnNames, LibraryCallsStayInsideTheLibrary) {
    nxsim::reset();
    nxsim::CameraConfig config;
    config.product = "NVX-T0-1.0";
    nxsim::Camera cam = nxsim::add_camera(config);
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("nivex-own-names-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string log = (dir / "test.log").string();
    ASSERT_TRUE(nivex_init(log.c_str()));
    ASSERT_EQ(nivex_path_cfg((dir.string() + "/").c_str()), 0);

    nivex_device dev{};
    ASSERT_EQ(nivex_dev_open(&dev), &dev);  // the simulated camera answers
    cam.clear_wire_log();
    ASSERT_TRUE(epc_adapter_init(&dev));
    ASSERT_EQ(configSetModulationFrequency(1, 32), 0);

    EXPECT_EQ(g_own_calls, 0);
    const std::vector<uint32_t> regs = written_registers(cam);
    for (uint32_t reg : {0x8B, 0xAE, 0x71, 0x22, 150, 133, 128})
        EXPECT_NE(std::find(regs.begin(), regs.end(), reg), regs.end()) << reg;
    EXPECT_EQ(cam.reg(1, 150 + 3), 67u);  // the window 4..323 is set
    EXPECT_EQ(cam.modulation_khz(), 24000u);

    epc_adapter_uninit();
    nivex_dev_close(&dev);
    nivex_uninit();
    nxsim::reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
