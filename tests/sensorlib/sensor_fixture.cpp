#include "sensor_fixture.h"

#include <bit>
#include <cstdio>
#include <fstream>

namespace sensortest {
namespace {

uint32_t le32(const std::vector<uint8_t> &b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16) |
           static_cast<uint32_t>(b[at + 3]) << 24;
}

constexpr uint8_t kReqRegister = 0xC2;
constexpr uint8_t kReqDevice = 0xC0;
constexpr uint16_t kSubRegWrite = 0;
constexpr uint16_t kSubRegRead = 1;
constexpr uint16_t kSubParamSet = 3;
constexpr size_t kRegHeader = 7;

void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put64(std::vector<uint8_t> &out, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    put32(out, static_cast<uint32_t>(bits));
    put32(out, static_cast<uint32_t>(bits >> 32));
}

}  // namespace

std::vector<RegAccess> sensor_accesses(const std::vector<nxsim::WireRecord> &wire) {
    std::vector<RegAccess> accesses;
    for (size_t i = 0; i < wire.size(); ++i) {
        const nxsim::WireRecord &r = wire[i];
        if (r.request != kReqRegister || r.is_in() || r.data.size() < kRegHeader) continue;
        if (r.data[0] != 1) continue;
        RegAccess access{r.value == kSubRegWrite, le32(r.data, 1), {}};
        if (r.value == kSubRegWrite) {
            for (size_t at = kRegHeader; at + 4 <= r.data.size(); at += 4)
                access.values.push_back(le32(r.data, at));
        } else if (r.value == kSubRegRead) {
            for (size_t j = i + 1; j < wire.size(); ++j) {
                if (wire[j].request != kReqRegister || !wire[j].is_in()) continue;
                for (size_t at = 0; at + 4 <= wire[j].data.size(); at += 4)
                    access.values.push_back(le32(wire[j].data, at));
                break;
            }
        } else {
            continue;
        }
        accesses.push_back(std::move(access));
    }
    return accesses;
}

std::vector<RegAccess> sensor_writes(const std::vector<nxsim::WireRecord> &wire) {
    std::vector<RegAccess> writes;
    for (RegAccess &a : sensor_accesses(wire))
        if (a.write) writes.push_back(std::move(a));
    return writes;
}

RegAccess write_of(uint32_t reg, std::vector<uint32_t> values) {
    return {true, reg, std::move(values)};
}

std::vector<ParamWrite> param_writes(const std::vector<nxsim::WireRecord> &wire) {
    std::vector<ParamWrite> writes;
    for (const nxsim::WireRecord &r : wire) {
        if (r.request != kReqDevice || r.is_in() || r.value != kSubParamSet) continue;
        for (size_t at = 0; at + 20 <= r.data.size(); at += 20)
            writes.push_back({r.data[at],
                              r.data[at + 1],
                              {r.data.begin() + static_cast<long>(at) + 2,
                               r.data.begin() + static_cast<long>(at) + 2 + r.data[at + 1]}});
    }
    return writes;
}

Images make_images(int count, int width, int height, uint16_t (*phase)(int k, int y, int x)) {
    Images images;
    images.reserve(static_cast<size_t>(count) * static_cast<size_t>(width * height));
    for (int k = 0; k < count; ++k)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                images.push_back(phase(k, y, x));
    return images;
}

std::vector<uint8_t> param_file(int freq_khz, int32_t offset, int32_t temp, double step,
                                int32_t ib_temp) {
    std::vector<uint8_t> out;
    put32(out, static_cast<uint32_t>(freq_khz));
    std::vector<uint8_t> rest = param_file(offset, temp, step, ib_temp);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

std::vector<uint8_t> param_file(int32_t offset, int32_t temp, double step, int32_t ib_temp) {
    std::vector<uint8_t> out = param_file(offset, temp, step);
    put32(out, static_cast<uint32_t>(ib_temp));
    return out;
}

std::vector<uint8_t> param_file(int32_t offset, int32_t temp, double step) {
    std::vector<uint8_t> out;
    put32(out, static_cast<uint32_t>(offset));
    put32(out, static_cast<uint32_t>(temp));
    put64(out, step);
    return out;
}

void SensorTest::SetUp() {
    SimTest::SetUp();
    nx::sensor::reset_bindings();
}

void SensorTest::TearDown() {
    nx::sensor::reset_bindings();
    SimTest::TearDown();
}

nxsim::Camera SensorTest::add_sensor_camera(uint16_t chip_id, uint16_t wafer_id) {
    nxsim::CameraConfig config;
    config.product = kProduct;
    config.chip_id = chip_id;
    config.wafer_id = wafer_id;
    return nxsim::add_camera(config);
}

void SensorTest::open_and_bind() {
    cam_ = add_sensor_camera();
    ASSERT_EQ(open_first(), &dev_);
    ASSERT_TRUE(epc_adapter_init(&dev_));
}

void SensorTest::write_data_file(const std::string &name, const std::vector<uint8_t> &bytes) {
    std::ofstream out(dir_.file(name), std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<long>(bytes.size()));
}

void SensorTest::write_images(const std::string &name, const Images &images) {
    std::vector<uint8_t> bytes;
    for (uint16_t v : images) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    write_data_file(name, bytes);
}

std::string SensorTest::images_name(uint16_t chip_id, uint16_t wafer_id) {
    char name[64];
    std::snprintf(name, sizeof name, "kpl_ex_images_drnu_W%03u_C%03u_10.bin", wafer_id, chip_id);
    return name;
}

std::string SensorTest::params_name(uint16_t chip_id, uint16_t wafer_id) {
    char name[64];
    std::snprintf(name, sizeof name, "kpl_ex_drnu_param_W%03u_C%03u_10.bin", wafer_id, chip_id);
    return name;
}

}  // namespace sensortest
