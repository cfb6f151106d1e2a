// The exported sensor-configuration calls: thin C entry points onto the
// current device's record. Nothing inside the library calls these names, so
// an application defining a function of the same name changes nothing here.
#include "nivex_sensorlib.h"
#include "sensorlib/device_adapter.h"
#include "sensorlib/export_guard.h"

using nx::sensor::guarded;
using nx::sensor::on_current;
using nx::sensor::SensorModel;

extern "C" {

bool epc_adapter_init(nivex_device *dev) {
    return guarded(__func__, false, [&] { return nx::sensor::adapter_init(dev); });
}

void epc_adapter_uninit(void) {
    guarded(__func__, [] { nx::sensor::adapter_uninit(); });
}

int i2c(int dev_addr, char op, int reg, int count, unsigned char **buf) {
    return on_current(__func__, -1, [&](SensorModel &m) {
        return m.i2c(dev_addr, op, reg, count, buf != nullptr ? *buf : nullptr);
    });
}

void configSetPartType(int part_type) {
    on_current(__func__, [&](SensorModel &m) { m.set_part_type(part_type); });
}
int configGetPartType(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.part_type(); });
}
void configSetPartVersion(uint16_t version) {
    on_current(__func__, [&](SensorModel &m) { m.set_part_version(version); });
}
uint16_t configGetPartVersion(void) {
    return on_current(__func__, uint16_t{0}, [](SensorModel &m) { return m.part_version(); });
}
void configSetIcVersion(uint16_t version) {
    on_current(__func__, [&](SensorModel &m) { m.set_ic_version(version); });
}
uint16_t configGetIcVersion(void) {
    return on_current(__func__, uint16_t{0}, [](SensorModel &m) { return m.ic_version(); });
}
void configSetWaferID(uint16_t wafer_id) {
    on_current(__func__, [&](SensorModel &m) { m.set_wafer_id(wafer_id); });
}
uint16_t configGetWaferID(void) {
    return on_current(__func__, uint16_t{0}, [](SensorModel &m) { return m.wafer_id(); });
}
void configSetChipID(uint16_t chip_id) {
    on_current(__func__, [&](SensorModel &m) { m.set_chip_id(chip_id); });
}
uint16_t configGetChipID(void) {
    return on_current(__func__, uint16_t{0}, [](SensorModel &m) { return m.chip_id(); });
}
void configSetDeviceAddress(int dev_addr) {
    on_current(__func__, [&](SensorModel &m) { m.set_device_address(dev_addr); });
}
int configGetDeviceAddress(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.device_address(); });
}

int configSetModulationFrequency(int setting, int dev_addr) {
    return on_current(__func__, -1, [&](SensorModel &m) {
        return m.set_modulation_frequency(setting, dev_addr);
    });
}
int configGetModulationFrequency(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.modulation_khz(); });
}
int configGetModFreqMode(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.mod_freq_mode(); });
}

int configSetIntegrationTime3D(int time_us) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.set_integration_time_3d(time_us); });
}
int configGetIntegrationTime3D(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.integration_time_3d(); });
}
int configSetIntegrationTime3DHDR(int time_us) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.set_integration_time_3d_hdr(time_us); });
}
int configGetIntegrationTime3DHDR(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.integration_time_3d_hdr(); });
}
int configSetIntegrationTimesHDR(void) {
    return on_current(__func__, -1, [](SensorModel &m) { return m.apply_hdr_integration_times(); });
}

int configEnableHDR(int flag, int dev_addr) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.enable_hdr(flag != 0, dev_addr); });
}
int calculationIsHDR(void) {
    return on_current(__func__, 0, [](SensorModel &m) { return m.is_hdr() ? 1 : 0; });
}
int configEnableABS(int flag, int dev_addr) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.enable_abs(flag != 0, dev_addr); });
}
int apiEnableABS(int flag, int dev_addr) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.enable_abs(flag != 0, dev_addr); });
}
int apiSetROI(int x1, int x2, int y1, int y2, int dev_addr) {
    return on_current(__func__, -1,
                      [&](SensorModel &m) { return m.set_roi(x1, x2, y1, y2, dev_addr); });
}

int configInit(int dev_addr) {
    return on_current(__func__, -1, [&](SensorModel &m) { return m.config_init(dev_addr); });
}
int configLoadParameters(void) {
    return on_current(__func__, -1, [](SensorModel &m) { return m.load_parameters(); });
}

void temperatureSetTemperatureByFrameHeader(const int16_t *temperatures) {
    if (temperatures == nullptr) return;
    on_current(__func__,
               [&](SensorModel &m) { m.set_frame_temperatures(temperatures[0], temperatures[1]); });
}
void temperatureInit(void) {
    on_current(__func__, [](SensorModel &m) { m.temperature_init(); });
}
void pruSetSize(int width, int rows_per_half) {
    on_current(__func__, [&](SensorModel &m) { m.pru_set_size(width, rows_per_half); });
}
void pruInit(void) {
    on_current(__func__, [](SensorModel &m) { m.pru_init(); });
}

void epcSetExtModEnable(uint8_t enable) {
    on_current(__func__, [&](SensorModel &m) { m.set_ext_mode(enable != 0); });
}
uint8_t epcgetExtModEnable(void) {
    return on_current(__func__, uint8_t{0},
                      [](SensorModel &m) { return static_cast<uint8_t>(m.ext_mode() ? 1 : 0); });
}
void calculationSetEnableDRNU(int mode) {
    on_current(__func__, [&](SensorModel &m) { m.set_drnu_mode(mode); });
}

}  // extern "C"
