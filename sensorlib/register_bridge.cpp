#include "sensorlib/register_bridge.h"

#include <array>

#include "common/nx_log.h"

namespace nx::sensor {
namespace {

constexpr const char *kFn = "i2c";
constexpr int kBusAddresses = 128;
constexpr int kRegisterCount = 256;
// The bus holds one device, the sensor; the list ends with 255.
constexpr uint8_t kDeviceListAddress = 32;
constexpr uint8_t kDeviceListEnd = 255;

int list_bus(uint8_t *buf) {
    if (buf == nullptr) {
        NX_ERR(kFn, "[%s] no buffer for the device list\n");
        return -1;
    }
    buf[0] = kDeviceListAddress;
    buf[1] = kDeviceListEnd;
    return 0;
}

int read_registers(nivex_device *dev, int reg, int count, uint8_t *buf) {
    std::array<uint32_t, kBridgeMaxCount> values{};
    if ((buf == nullptr && count > 0) ||
        !nivex_reg_batch_read(dev, kSensorTarget, static_cast<uint32_t>(reg), values.data(),
                              static_cast<uint32_t>(count))) {
        NX_ERR(kFn, "[%s] reg read faild!\n");
        return -1;
    }
    for (int i = 0; i < count; ++i)
        buf[i] = static_cast<uint8_t>(values[static_cast<size_t>(i)] & 0xFF);
    return 0;
}

int write_registers(nivex_device *dev, int reg, int count, const uint8_t *buf) {
    std::array<uint32_t, kBridgeMaxCount> values{};
    for (int i = 0; buf != nullptr && i < count; ++i)
        values[static_cast<size_t>(i)] = buf[i];
    if ((buf == nullptr && count > 0) ||
        !nivex_reg_batch_write(dev, kSensorTarget, static_cast<uint32_t>(reg), values.data(),
                               static_cast<uint32_t>(count))) {
        NX_ERR(kFn, "[%s] reg write fail!\n");
        return -1;
    }
    return 0;
}

}  // namespace

int bridge_transfer(nivex_device *dev, int dev_addr, char op, int reg, int count, uint8_t *buf) {
    if (dev_addr < 0 || dev_addr >= kBusAddresses) {
        NX_ERR(kFn, "[%s] Device address is out of range.\n");
        return -1;
    }
    if (reg < 0 || reg >= kRegisterCount) {
        NX_ERR(kFn, "[%s] Register address is out of range.\n");
        return -1;
    }
    const bool moves_data = op == 'r' || op == 'w';
    if (count > kBridgeMaxCount) {
        NX_WRN(kFn, "[%s] rw much data: %d\n", count);
        // More values than one transfer holds: refused rather than cut or
        // written past the value buffer.
        if (moves_data) return -1;
    }
    if (moves_data && count < 0) {
        NX_ERR(kFn, "[%s] wrong count: %d\n", count);
        return -1;
    }
    switch (op) {
        case 'd':
            return list_bus(buf);
        case 'l':
            NX_WRN(kFn, "[%s] uncompleted function : %s!\n", "<i2c device reload>");
            return 0;
        case 'r':
            return read_registers(dev, reg, count, buf);
        case 'w':
            return write_registers(dev, reg, count, buf);
        case 's':
            if (!nivex_dev_reset(dev, kSensorTarget)) {
                NX_ERR(kFn, "[%s] reset tfc device failed!\n");
                return -1;
            }
            return 0;
        default:
            NX_ERR(kFn,
                   "[%s] Invalid operation: Only 'd' (devices), 'r' (read), 'w' (write) and 's' "
                   "(software reset) are allowed.\n");
            return -1;
    }
}

}  // namespace nx::sensor
