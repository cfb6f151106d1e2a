/*
 * libnivex EPC sensor driver: the pixel routines that turn the four raw
 * phase-sample planes of an EPC frame (DCS0..DCS3, 12-bit samples in 16-bit
 * words, plane after plane) into distance and amplitude images, the sensor's
 * readout row order, and the frame-valid flag of the current device.
 *
 * Pixel routines: `raw` holds 4 x width x height words, rows in the sensor's
 * readout order; the results are in the same order (calc_dcs_sort brings an
 * image into top-to-bottom order). A pixel with a sample of 0 or 4095 is not
 * measured: its distance is NX_PIXEL_OVERFLOW. Distances are millimetres, the
 * phase period is 30000 units. A routine returns 1 when it wrote its images,
 * 0 when it refused (dcs_count other than 4, a pixel count that is not a
 * multiple of 4, NULL buffers, a driver without EPC state) and wrote nothing.
 *
 * `driver` is the chip driver of an open EPC camera (nivex_dev_get_drv); the
 * routines read its calibration and the temperatures of the frame described
 * last. They may run on any thread, several at once.
 */
#ifndef NIVEX_EPC_H
#define NIVEX_EPC_H

#include <stdint.h>

#include "nivex.h"

#ifdef __cplusplus
extern "C" {
#endif

struct chip_driver;

/* Lens intrinsics (pixels) and distortion coefficients (k1, k2, p1, p2, k3)
 * for an image of img_w x img_h pixels. */
typedef struct epc_lens_param {
    double cx;        /* principal point, column */
    double cy;        /* principal point, row */
    double fx;        /* focal length along columns */
    double fy;        /* focal length along rows */
    double dcoeff[5]; /* distortion, in the order of the lens parameter file */
    int img_w;        /* image size the values refer to */
    int img_h;
} epc_lens_param;

/* Amplitude per pixel, 0 for pixels that are not measured. The driver is not
 * used and may be NULL. */
NIVEX_API int calc_gray(struct chip_driver *driver, uint16_t *gray, const uint16_t *raw, int width,
                        int height, int dcs_count);

/* Distance from the phase over the unambiguous range of the current
 * modulation frequency, then scaled (per mille) and offset (mm), wrapped into
 * the range; amplitude alongside (NX_PIXEL_OVERFLOW where not measured). */
NIVEX_API int calc_dist_calib_none(struct chip_driver *driver, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *raw, int width, int height, int dcs_count,
                                   int scale, int offset_mm);

/* Distance with the camera's distance scale and offset and the temperature
 * compensation; amplitude as calc_dist_calib_none. */
NIVEX_API int calc_dist_calib_simple(struct chip_driver *driver, uint16_t *dist, uint16_t *amp,
                                     const uint16_t *raw, int width, int height, int dcs_count);

/* Distance through each pixel's own DRNU lookup table (its phases at the
 * calibration distances), temperature compensated; amplitude 0 where not
 * measured. Refused (0) unless a lookup table of width x height pixels is
 * loaded. */
NIVEX_API int calc_dist_calib_drnu(struct chip_driver *driver, uint16_t *dist, uint16_t *amp,
                                   const uint16_t *raw, int width, int height, int dcs_count);

/* Readout row order to top-to-bottom order, and back: readout rows 0, 2, 4 ..
 * fill the upper half from its middle row upwards, rows 1, 3, 5 .. the lower
 * half from its middle row downwards. height must be even and dst must not be
 * src; otherwise nothing is written. */
NIVEX_API void calc_dcs_sort(uint16_t *dst, const uint16_t *src, int width, int height);
NIVEX_API void calc_dcs_unsort(uint16_t *dst, const uint16_t *src, int width, int height);

/* Frame-valid flag of the EPC driver of the sensor library's current device
 * (see nivex_sensorlib.h): 1 once a frame was described, 0 after a decode
 * refused or rejected one. Without a current EPC device the setter does
 * nothing and the getter returns 1. */
NIVEX_API void epc_adapater_set_frame_valid(uint8_t valid);
NIVEX_API uint8_t epc_adapater_get_frame_valid(void);

/* The lens intrinsics of the camera `driver` drives, scaled to a frame of
 * width x height pixels (the lens image size must be a whole multiple of it);
 * the distortion coefficients are copied as they are. Each camera reads the
 * "lens_param.txt" of the data folder when it is opened (built-in values when
 * there is none). Without a driver of an open EPC camera the lens of the EPC
 * camera opened last is used. false (and nothing written) for a size below 1
 * or one that does not divide the lens image size, a NULL out, or the driver
 * of another chip. */
NIVEX_API bool epc_lens_param_get(struct chip_driver *driver, epc_lens_param *out, int width,
                                  int height);

#ifdef __cplusplus
}
#endif

#endif /* NIVEX_EPC_H */
