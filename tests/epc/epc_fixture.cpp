#include "epc_fixture.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "drivers/epc/epc_calibration.h"
#include "sensorlib/sensor_registry.h"
#include "stream/nx_stream.h"

namespace epctest {
namespace {

constexpr uint8_t kReqDevice = 0xC0;
constexpr uint16_t kSubParamSet = 3;
constexpr size_t kParamEntry = 20;

void put32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::string chip_suffix() {
    char text[32];
    std::snprintf(text, sizeof text, "_W%03i_C%03i_10.bin", kWaferId, kChipId);
    return text;
}

void write_file(const std::string &name, const void *data, size_t size) {
    std::FILE *f = std::fopen(name.c_str(), "wb");
    ASSERT_NE(f, nullptr) << name;
    ASSERT_EQ(std::fwrite(data, 1, size, f), size);
    std::fclose(f);
}

}  // namespace

Image make_raw(size_t n, const std::function<Samples(size_t)> &samples) {
    Image raw(4 * n);
    for (size_t i = 0; i < n; ++i) {
        const Samples s = samples(i);
        for (size_t k = 0; k < 4; ++k)
            raw[k * n + i] = s[k];
    }
    return raw;
}

Image uniform_raw(size_t n, Samples samples) {
    return make_raw(n, [&](size_t) { return samples; });
}

// DCS k = level + amp cos(phi - k pi / 2): the differences DCS2 - DCS0 and
// DCS3 - DCS1 point half a period away from phi, which the decode adds back.
Samples samples_for(double phase, double amp) {
    const double phi = phase / 30000.0 * 2.0 * std::numbers::pi;
    Samples s{};
    for (int k = 0; k < 4; ++k)
        s[static_cast<size_t>(k)] = static_cast<uint16_t>(
            std::lround(2048.0 + amp * std::cos(phi - k * std::numbers::pi / 2.0)));
    return s;
}

nivex_frame_meta meta_of(int width, int height, uint32_t bytes, uint16_t format) {
    nivex_frame_meta meta{};
    meta.frame_size = bytes;
    meta.frame_format = format;
    meta.width = static_cast<uint32_t>(width);
    meta.height = static_cast<uint32_t>(height);
    meta.pixel_bytes = 8;
    return meta;
}

void write_param_file(int freq_khz, int32_t offset, int32_t temp, double step, int32_t ib_temp) {
    std::vector<uint8_t> bytes;
    put32(bytes, static_cast<uint32_t>(freq_khz));
    put32(bytes, static_cast<uint32_t>(offset));
    put32(bytes, static_cast<uint32_t>(temp));
    const auto bits = std::bit_cast<uint64_t>(step);
    put32(bytes, static_cast<uint32_t>(bits));
    put32(bytes, static_cast<uint32_t>(bits >> 32));
    put32(bytes, static_cast<uint32_t>(ib_temp));
    write_file("kpl_ex_drnu_param" + chip_suffix(), bytes.data(), bytes.size());
}

void write_distance_images(int k, int width, int height,
                           const std::function<uint16_t(int k, int y, int x)> &phase) {
    std::vector<uint16_t> words;
    for (int i = 0; i < k; ++i)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                words.push_back(phase(i, y, x));
    write_file("kpl_ex_images_drnu" + chip_suffix(), words.data(), words.size() * 2);
}

std::vector<std::vector<uint8_t>> param_sets(const std::vector<nxsim::WireRecord> &wire,
                                             uint8_t id) {
    std::vector<std::vector<uint8_t>> sets;
    for (const nxsim::WireRecord &r : wire) {
        if (r.request != kReqDevice || r.is_in() || r.value != kSubParamSet) continue;
        for (size_t at = 0; at + kParamEntry <= r.data.size(); at += kParamEntry) {
            if (r.data[at] != id) continue;
            const auto *value = r.data.data() + at + 2;
            sets.emplace_back(value, value + r.data[at + 1]);
        }
    }
    return sets;
}

void EpcTest::TearDown() {
    SimTest::TearDown();
    nx::sensor::reset_bindings();
}

nxsim::CameraConfig EpcTest::pattern_config() {
    nxsim::CameraConfig config;
    config.product = kProduct;
    config.chip_id = kChipId;
    config.wafer_id = kWaferId;
    config.source = nxsim::make_test_pattern(kProduct);
    // No factory calibration to fetch: the driver's tests start without DRNU
    // files unless they write their own.
    config.calib = nxsim::CalibArchive::None;
    return config;
}

nxsim::Camera EpcTest::add_epc_camera(nxsim::CameraConfig config) {
    return nxsim::add_camera(config);
}

void EpcTest::open_epc(nxsim::CameraConfig config) {
    cam_ = add_epc_camera(std::move(config));
    ASSERT_EQ(open_first(), &dev_);
    ASSERT_NE(drv(), nullptr);
    ASSERT_NE(nx::epc::state_of(drv()), nullptr);
}

void EpcTest::set_constants(const std::function<void(nx::epc::DistanceConstants &)> &change) {
    nx::epc::DistanceConstants c = nx::epc::current_constants(state());
    change(c);
    state().set_constants(c);
}

void EpcTest::describe(int16_t sensor_temp, int16_t ib_temp, int width, int height) {
    nx_stream_frame_info info{};
    info.frlen = static_cast<uint32_t>(width * height * 8);
    info.frfmt = 2;
    info.width = static_cast<uint16_t>(width);
    info.height = static_cast<uint16_t>(height);
    info.temp_sensor = sensor_temp;
    info.temp_ib = ib_temp;
    nivex_frame_meta meta{};
    ASSERT_TRUE(drv()->ops->frame_get_info(drv(), &meta, &info));
}

int32_t EpcTest::decode(int kind, const Image &raw, Image &out, int width, int height) {
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    out.assign(n, 0xABCD);
    const nivex_frame_meta meta = meta_of(width, height, static_cast<uint32_t>(raw.size() * 2));
    return drv()->ops->frame_decode(drv(), out.data(), static_cast<uint32_t>(n * 2), kind,
                                    reinterpret_cast<const uint8_t *>(raw.data()),
                                    static_cast<uint32_t>(raw.size() * 2), &meta);
}

}  // namespace epctest
