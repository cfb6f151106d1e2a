/*
 * Captures frames from the first camera found and prints what arrived.
 *
 *   capture [frames]     (default 100)
 *
 * Lists the cameras, opens the first, captures the frames with
 * nivex_cap_get_frames, prints every frame's description, the frame rate
 * achieved and the stream parser's counters, and closes the camera.
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "nivex.h"

#define MAX_CAMERAS 8
#define FRAME_BYTES_MAX (8u * NIVEX_FRAME_SLOT_SIZE)

static double now_seconds(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static unsigned discards;

static bool on_error(nivex_device *dev, int err, uint32_t err_arg) {
    (void)dev;
    if (err == NIVEX_ERR_CAP_FRAME_DISCARD) {
        discards = err_arg;
        return true; /* damaged frames were dropped; go on */
    }
    fprintf(stderr, "capture error %d (%s)\n", err, nivex_error_name(err));
    return false;
}

static int list_cameras(nivex_device *list) {
    int found = nivex_dev_list(list, MAX_CAMERAS);
    printf("%d camera(s) found\n", found);
    for (int i = 0; i < found; ++i) {
        printf("  [%d] bus %u port %u address %u speed %u\n", i, list[i].usb_bus, list[i].usb_port,
               list[i].usb_addr, list[i].usb_speed);
    }
    return found;
}

static int capture(nivex_device *dev, int frames) {
    unsigned char *buf = malloc(FRAME_BYTES_MAX);
    if (buf == NULL) return 1;
    nivex_cap_set_frame_buffer(dev, NULL, 10 * NIVEX_FRAME_SLOT_SIZE);
    nivex_cap_set_callback_on_error(dev, on_error);
    if (!nivex_cap_start(dev)) {
        fprintf(stderr, "cannot start the capture\n");
        free(buf);
        return 1;
    }
    double start = now_seconds();
    int got = 0;
    while (got < frames) {
        nivex_frame_meta meta;
        int n = nivex_cap_get_frames(dev, 1, buf, FRAME_BYTES_MAX, &meta);
        if (n == NIVEX_ERR_NOT_CAPTURING) {
            fprintf(stderr, "capture ended after %d frames: the camera is not capturing\n", got);
            break;
        }
        if (n < 0) {
            fprintf(stderr, "capture ended after %d frames: error %d (%s)\n", got, n,
                    nivex_error_name(n));
            break;
        }
        if (n == 0) continue;
        got += n;
        printf("frame %5u: format %u, %ux%u, %u bytes per pixel, %u bytes\n", meta.frame_idx,
               meta.frame_format, meta.width, meta.height, meta.pixel_bytes, meta.frame_size);
    }
    double seconds = now_seconds() - start;
    nivex_cap_stats stats = {0};
    nivex_cap_get_stats(dev, &stats);
    nivex_cap_stop(dev);
    printf("%d frames in %.2f s: %.1f frames per second\n", got, seconds,
           seconds > 0 ? got / seconds : 0.0);
    printf(
        "stream: %u assembled, %u queued, %u discarded (last report %u), %u overflowed, "
        "%u ready, %u bytes skipped\n",
        stats.frames_assembled, stats.frames_queued, stats.frames_discarded, discards,
        stats.frames_overflowed, stats.frames_ready, stats.bytes_skipped);
    free(buf);
    return got == frames ? 0 : 1;
}

int main(int argc, char **argv) {
    int frames = argc > 1 ? atoi(argv[1]) : 100;
    if (frames <= 0) frames = 100;
    nivex_init("capture.log");
    nivex_log_cfg(NX_LOG_WRN, NX_LOG_DBG, NX_LOG_ERR);

    nivex_device list[MAX_CAMERAS];
    int result = 1;
    if (list_cameras(list) > 0) {
        nivex_device *dev = nivex_dev_open(&list[0]);
        if (dev != NULL) {
            printf("opened \"%s\" (%s)\n", dev->product, dev->info_str);
            result = capture(dev, frames);
            nivex_dev_close(dev);
        } else {
            fprintf(stderr, "cannot open the camera\n");
        }
    }
    nivex_uninit();
    return result;
}
