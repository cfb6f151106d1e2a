/* A plain libusb program, linked to the real libusb-1.0: with the simulator
 * preloaded it sees the simulated cameras and talks to them. */
#include <libusb.h>
#include <stdio.h>

int main(void) {
    libusb_context *ctx = NULL;
    if (libusb_init(&ctx) != 0) return 1;
    libusb_device **list = NULL;
    ssize_t n = libusb_get_device_list(ctx, &list);
    int cameras = 0;
    int answered = 0;
    for (ssize_t i = 0; i < n; ++i) {
        struct libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
        if (desc.idVendor != 0x111B || desc.idProduct != 0x1238) continue;
        ++cameras;
        libusb_device_handle *handle = NULL;
        if (libusb_open(list[i], &handle) != 0) continue;
        unsigned char status[63];
        if (libusb_control_transfer(handle, 0xA2, 0xB0, 0, 0, status, 63, 1000) == 63) ++answered;
        libusb_close(handle);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    printf("cameras: %d, answered: %d\n", cameras, answered);
    return 0;
}
