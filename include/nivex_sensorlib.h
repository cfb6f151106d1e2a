/*
 * libnivex sensor calibration library: the model of an EPC time-of-flight
 * sensor (identity, modulation frequency, integration time, HDR, ambient-light
 * suppression, region of interest), its register bridge onto an open camera,
 * and the DRNU calibration data (file names, parameter file, distance images,
 * per-pixel lookup tables, distance scale and offset).
 *
 * One state record per bound device. epc_adapter_init(dev) binds a device and
 * makes it the current device; every function here without a device argument
 * works on the current device's record and sends its register traffic to
 * that device (sensor registers are target 1 of the camera). Records of other
 * bound devices keep their own identity, frequency and tables.
 *
 * Results: 0 success, -1 failure, unless stated otherwise. Messages go to the
 * library log (see nivex_log_cfg), never to standard output. All functions
 * may be called from any thread.
 */
#ifndef NIVEX_SENSORLIB_H
#define NIVEX_SENSORLIB_H

#include <stdint.h>

#include "nivex.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Room a DRNU file-name buffer needs (name and terminating zero). */
#define NIVEX_DRNU_NAME_SIZE 64
/* Capacity of a lookup-table bank: pixels (328 x 252) and distances. */
#define NIVEX_DRNU_MAX_PIXELS 82656
#define NIVEX_DRNU_MAX_DISTANCES 30
/* Largest register count one bridge transfer moves. */
#define NIVEX_I2C_MAX_COUNT 257

/* ------------------------------------------------------------------------ */
/* Device adapter and register bridge                                        */
/* ------------------------------------------------------------------------ */

/* With a device: binds it as the current device, reads its chip identity
 * (parameter 7), sets device address 32, runs configInit(32), switches the
 * ambient-light suppression on and sets the window 4..323 x 6..125. False when
 * the chip identity cannot be read (the device is then not bound).
 * With NULL: starts the library itself, opens the first camera with a capture
 * buffer of 6144000 bytes and binds it (closing one it opened earlier). */
NIVEX_API bool epc_adapter_init(nivex_device *dev);
/* Forgets the current device; closes it and ends the library when
 * epc_adapter_init(NULL) opened it. */
NIVEX_API void epc_adapter_uninit(void);

/* Register bridge. dev_addr < 128, reg < 256, count <= NIVEX_I2C_MAX_COUNT;
 * *buf is the byte buffer. op: 'd' lists the bus (32, then 255), 'r' reads
 * count registers into the buffer (low byte of each), 'w' writes count bytes
 * as registers, 's' resets the sensor, 'l' does nothing. */
NIVEX_API int i2c(int dev_addr, char op, int reg, int count, unsigned char **buf);

/* ------------------------------------------------------------------------ */
/* Identity                                                                  */
/* ------------------------------------------------------------------------ */

NIVEX_API void configSetPartType(int part_type);
NIVEX_API int configGetPartType(void);
NIVEX_API void configSetPartVersion(uint16_t version);
NIVEX_API uint16_t configGetPartVersion(void);
NIVEX_API void configSetIcVersion(uint16_t version);
NIVEX_API uint16_t configGetIcVersion(void);
NIVEX_API void configSetWaferID(uint16_t wafer_id);
NIVEX_API uint16_t configGetWaferID(void);
NIVEX_API void configSetChipID(uint16_t chip_id);
NIVEX_API uint16_t configGetChipID(void);
NIVEX_API void configSetDeviceAddress(int dev_addr);
NIVEX_API int configGetDeviceAddress(void);

/* ------------------------------------------------------------------------ */
/* Modulation, integration time, HDR, ambient light, region of interest      */
/* ------------------------------------------------------------------------ */

/* Setting 0..6 selects entry 0..6 of the frequency table that configInit read
 * from the chip (36, 24, 12, 6, 3, 1.5, 0.75 MHz for the power-on clock); any
 * other value selects 2. Writes the divider (0x85) and mode (0x80) registers
 * and re-applies the integration times. -1 when the table has not been read
 * or a write failed (the setting is then unchanged). */
NIVEX_API int configSetModulationFrequency(int setting, int dev_addr);
NIVEX_API int configGetModulationFrequency(void); /* kHz */
NIVEX_API int configGetModFreqMode(void);         /* the setting */

/* Integration times in microseconds, 0..4000. */
NIVEX_API int configSetIntegrationTime3D(int time_us);
NIVEX_API int configGetIntegrationTime3D(void);
NIVEX_API int configSetIntegrationTime3DHDR(int time_us);
NIVEX_API int configGetIntegrationTime3DHDR(void);
/* Writes the HDR integration-time registers (0x9E-0xA3) from both times. */
NIVEX_API int configSetIntegrationTimesHDR(void);

/* HDR on (1) or off (0): read-modify-write of the HDR bits. */
NIVEX_API int configEnableHDR(int flag, int dev_addr);
NIVEX_API int calculationIsHDR(void);
/* Ambient-light suppression on (1) or off (0). */
NIVEX_API int configEnableABS(int flag, int dev_addr);
NIVEX_API int apiEnableABS(int flag, int dev_addr);
/* Readout window: columns x1 (even) .. x2 (odd, <= 327), rows y1 (even) .. y2
 * (odd, <= 125) per half. */
NIVEX_API int apiSetROI(int x1, int x2, int y1, int y2, int dev_addr);

/* The sensor set-up the library needs at device open, then the calibration
 * files of this chip. -1 when a register access failed. */
NIVEX_API int configInit(int dev_addr);
/* The calculation constants (logged at DBG level). */
NIVEX_API int configLoadParameters(void);

/* Frame information: two signed 16-bit words, sensor then board temperature
 * (0.1 degC). */
NIVEX_API void temperatureSetTemperatureByFrameHeader(const int16_t *temperatures);
NIVEX_API void temperatureInit(void);
/* Frame geometry: columns and rows per half. */
NIVEX_API void pruSetSize(int width, int rows_per_half);
NIVEX_API void pruInit(void);

/* Extended mode (cameras whose product version is "2.0..."). */
NIVEX_API void epcSetExtModEnable(uint8_t enable);
NIVEX_API uint8_t epcgetExtModEnable(void);

/* The library's DRNU correction: 0 off, 1 on, 2 on with the loaded tables. */
NIVEX_API void calculationSetEnableDRNU(int mode);
NIVEX_API int calculationGetEnableDRNU(void);
/* Pixels of a lower amplitude are marked 65300 in calculationDistanceSorted. */
NIVEX_API void calculationSetMinAmplitude(int amplitude);
NIVEX_API int calculationGetMinAmplitude(void);
/* Imaging mode 0 or 1 (1 sends every 3D integration-time change to the
 * camera); the integration times are applied to the new mode. */
NIVEX_API int apiLoadConfig(int mode, int dev_addr);

/* ------------------------------------------------------------------------ */
/* DRNU calibration data                                                     */
/* ------------------------------------------------------------------------ */

/* Writes the file name of this chip (no folder) into buf, which holds at
 * least NIVEX_DRNU_NAME_SIZE bytes; returns the length before its "_10.bin"
 * suffix, -1 when buf is NULL. A second argument is accepted and ignored. */
NIVEX_API int calibrationGetDistanceImagesName(char *buf, ...);
NIVEX_API int calibrationGetParamName(char *buf, ...);
/* 0 when the distance-images file exists in the data folder; mode ignored. */
NIVEX_API int calibrationDataFileCheck(int mode);
/* Loads the DRNU parameter file (built-in values when it is missing). */
NIVEX_API int calibrationLoadDRNU_LUT(void);
/* Loads the distance-images file into lookup-table bank 0 or 1 and derives
 * the distance scale and offset. -1 when it is missing, holds fewer than two
 * images or cannot be read whole; the bank then keeps its content. */
NIVEX_API int calibrationLoadDistanceImages(int bank);

NIVEX_API double calibrateGetStepCalMM(void);
NIVEX_API int calibrateGetTempCalib(void);
NIVEX_API int calibrateGetIbTempCalib(void);
/* Table geometry; setters refuse what would overrun a bank (-1). */
NIVEX_API int calibrateGetNumDistances(void);
NIVEX_API int calibrateSetNumDistances(int num_distances);
NIVEX_API int calibrateGetWidth(void);
NIVEX_API int calibrateSetWidth(int width);
NIVEX_API int calibrateGetHeight(void);
NIVEX_API int calibrateSetHeight(int height);
/* Word i of the lookup table (bank 1 at setting 2, else bank 0); 0 outside
 * what was loaded. */
NIVEX_API uint16_t calibrateGetDistImagePixel(int index);
NIVEX_API int calibrateGetoffsetPhaseDefaultFPN(void); /* 0 */

/* ------------------------------------------------------------------------ */
/* DRNU calibration creation                                                 */
/* ------------------------------------------------------------------------ */

/* The factory procedure: steps the sensor's delay line (register 0x73)
 * through calibrateGetNumDistances() steps (20 at 36 MHz), averages phase
 * images per step, and writes into the data folder the distance images, the
 * temperatures of every step, the DRNU parameters (text, and the binary
 * parameter file of calibrationGetParamName) and the package
 * "calib_and_param_<chip>.bin". A sweep during which the sensor temperature
 * moves by more than 0.7 degC starts again, at most 10 sweeps in all (then
 * the last one is used, with a warning). The sensor is left with 0xAE = 1,
 * 0x71..0x73 = 0 and its mode, minimum amplitude and DRNU switch as before,
 * also when the procedure fails. 0, or -1 when no device is current, a
 * register access or the capture failed, or a file could not be written.
 * Takes frames from the current device: a capture it finds running is
 * restarted at every step, else every frame comes from a capture of its own. */
NIVEX_API int calibrationDRNU(void);
NIVEX_API int apiCalibrateDRNU(void); /* the same */
/* Progress of calibrationDRNU, called on the thread that runs it after each
 * measured delay step: the step (0 .. steps - 1), the number of steps and the
 * sweep (1; more when a drifting temperature started the sweep again). NULL
 * switches it off. One for the process, like the procedure's other state. */
typedef void (*calibration_progress_fn)(int step, int steps, int sweep);
NIVEX_API void calibrationSetProgressCallback(calibration_progress_fn fn);
/* Frames the procedure averages per delay step on the current device (the
 * calculation constant, 25, until set). Fewer frames measure faster and
 * noisier. 0, or -1 (nothing changed) for frames < 1 or no current device. */
NIVEX_API int calibrationSetNumAveragedFrames(int frames);
/* Measures delay step `step` (0 .. K-1) from numAvrFrames (>= 1) frames. */
NIVEX_API int calibrationCreateDRNU_LUT(int step, int numAvrFrames);
/* Logs the chip's delay code against the measured step. */
NIVEX_API int calibrationTestStep(void);
/* File writers and readers of the procedure (data folder). */
NIVEX_API int calibrationSaveDistanceImages(void);
NIVEX_API int calibrationSaveTemperatureDRNU(void);
/* -1 when the sensor-temperature file is missing or holds no temperature. */
NIVEX_API int calibrationLoadTemperatureDRNU(void);
/* Residual table and parameter files for a step of step10 / 10 mm. */
NIVEX_API int calibrationDRNU_FromFile(int step10);
/* 1 when a best step within 270.0 .. 340.0 mm was found (and saved), else 0. */
NIVEX_API int calibrationAutoRenew(void);
NIVEX_API int calibrationSaveDRNU_LUT(void);
/* Writes the package; mode is ignored. */
NIVEX_API int _construct_calib_param_pk(int mode);

/* One phase image (0..29999 per pixel, image row order; 65500 where a sample
 * saturated, 65300 below the minimum amplitude) of the calibration size from
 * the current device: the next frame of its running capture, or of a capture
 * started and stopped around it. Returns the pixel count, or -1 (buffer too
 * small, no device, a capture error or no frame within the time-out). */
NIVEX_API int calculationDistanceSorted(uint16_t *phase, int pixels);
/* The five readings of parameter 15: four sensor readings, then the board
 * (0.1 degC). 0, or -1 when they cannot be read. */
NIVEX_API int temperatureGetTemperatures(int16_t *readings);

#ifdef __cplusplus
}
#endif

#endif /* NIVEX_SENSORLIB_H */
