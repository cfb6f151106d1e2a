/*
 * Measures a flat wall with an EPC camera and its factory calibration.
 *
 *   wall_distance [wall_mm]     (default 1500)
 *
 * Opens the first camera (its first open fetches the factory calibration
 * into the data folder, the working folder here), switches the per-pixel
 * calibration on and the smoothing off, captures a frame, decodes its
 * distances and prints the distance at the principal point and the RMS
 * error of all valid pixels against the true distances of a wall
 * perpendicular to the optical axis at wall_mm: along each pixel's viewing
 * direction, which the lens intrinsics give, the wall lies at
 * wall_mm x sqrt(1 + x^2 + y^2).
 *
 * Against the simulated camera, for example:
 *   NIVEX_SIM="scene=wall:1500,noise=0" \
 *     LD_PRELOAD=build/sim/libnivex_camsim.so ./build/examples/wall_distance 1500
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "nivex.h"
#include "nivex_epc.h"

#define WIDTH 320
#define HEIGHT 240
#define PIXELS (WIDTH * HEIGHT)
#define RAW_BYTES (PIXELS * 8)

/* The viewing direction (x, y, 1) of pixel (u, v): the distortion model
 * inverted by a fixed-point iteration, which converges for this lens. */
static void viewing_direction(const epc_lens_param *lens, double u, double v, double *x,
                              double *y) {
    const double xd = (u - lens->cx) / lens->fx;
    const double yd = (v - lens->cy) / lens->fy;
    const double k1 = lens->dcoeff[0], k2 = lens->dcoeff[1], p1 = lens->dcoeff[2];
    const double p2 = lens->dcoeff[3], k3 = lens->dcoeff[4];
    *x = xd;
    *y = yd;
    for (int i = 0; i < 50; ++i) {
        const double r2 = *x * *x + *y * *y;
        const double radial = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
        const double dx = 2 * p1 * *x * *y + p2 * (r2 + 2 * *x * *x);
        const double dy = p1 * (r2 + 2 * *y * *y) + 2 * p2 * *x * *y;
        *x = (xd - dx) / radial;
        *y = (yd - dy) / radial;
    }
}

/* One frame of distances in metres, image order; 0 when none arrived. */
static int capture_distances(nivex_device *dev, float *dist) {
    unsigned char *raw = malloc(RAW_BYTES);
    if (raw == NULL) return 0;
    nivex_frame_meta meta;
    int n = 0;
    if (nivex_cap_start(dev)) {
        for (int tries = 0; tries < 10 && n != 1; ++tries)
            n = nivex_cap_get_frames(dev, 1, raw, RAW_BYTES, &meta);
        nivex_cap_stop(dev);
    }
    int samples = 0;
    if (n == 1 && meta.width == WIDTH && meta.height == HEIGHT)
        samples = nivex_frame_get_distance(dev, dist, 2 * PIXELS, raw, (int)meta.frame_size, &meta);
    free(raw);
    return samples == PIXELS;
}

static int measure(nivex_device *dev, double wall_mm) {
    epc_lens_param lens;
    if (!epc_lens_param_get(nivex_dev_get_drv(dev), &lens, WIDTH, HEIGHT)) {
        fprintf(stderr, "no lens intrinsics for %dx%d\n", WIDTH, HEIGHT);
        return 1;
    }
    nivex_filter_args calib = {0};
    calib.calib_mode = 1;
    if (nivex_filter_enable(dev, NIVEX_FILTER_PIXEL_CALIB, &calib, sizeof calib) != 1) {
        fprintf(stderr, "the per-pixel calibration cannot be switched on\n");
        return 1;
    }
    nivex_filter_disable(dev, NIVEX_FILTER_DEPTH_SMOOTH); /* judge every pixel on its own */

    float *dist = malloc(2 * PIXELS * sizeof *dist);
    if (dist == NULL || !capture_distances(dev, dist)) {
        fprintf(stderr, "no frame decoded\n");
        free(dist);
        return 1;
    }
    double squares = 0;
    int valid = 0;
    for (int v = 0; v < HEIGHT; ++v) {
        for (int u = 0; u < WIDTH; ++u) {
            const float d = dist[v * WIDTH + u];
            if (!(d > 0 && d < 60)) continue;
            double x, y;
            viewing_direction(&lens, u, v, &x, &y);
            const double error = d * 1000.0 - wall_mm * sqrt(1 + x * x + y * y);
            squares += error * error;
            ++valid;
        }
    }
    const int cu = (int)lround(lens.cx), cv = (int)lround(lens.cy);
    printf("wall at %.0f mm: principal point (%d, %d) measures %.1f mm\n", wall_mm, cu, cv,
           dist[cv * WIDTH + cu] * 1000.0);
    printf("RMS error of %d valid pixels: %.2f mm\n", valid,
           valid > 0 ? sqrt(squares / valid) : 0.0);
    free(dist);
    return valid > 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    double wall_mm = argc > 1 ? atof(argv[1]) : 1500;
    if (wall_mm <= 0) wall_mm = 1500;
    nivex_init("wall_distance.log");
    nivex_log_cfg(NX_LOG_WRN, NX_LOG_DBG, NX_LOG_ERR);

    nivex_device list[1];
    int result = 1;
    if (nivex_dev_list(list, 1) > 0) {
        nivex_device *dev = nivex_dev_open(&list[0]);
        if (dev != NULL) {
            result = measure(dev, wall_mm);
            nivex_dev_close(dev);
        } else {
            fprintf(stderr, "cannot open the camera\n");
        }
    } else {
        fprintf(stderr, "no camera found\n");
    }
    nivex_uninit();
    return result;
}
