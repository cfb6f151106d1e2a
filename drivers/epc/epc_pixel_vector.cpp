// The pixel routines the decode runs.
#include "drivers/epc/epc_pixel.h"

namespace nx::epc {

void gray(const uint8_t *raw, size_t n, uint16_t *out) {
    scalar::gray(raw, n, out);
}

void distance_linear(const uint8_t *raw, size_t n, const LinearCalib &calib, uint16_t *dist,
                     uint16_t *amp) {
    scalar::distance_linear(raw, n, calib, dist, amp);
}

void distance_drnu(const uint8_t *raw, size_t n, const DrnuCalib &calib, uint16_t *dist,
                   uint16_t *amp) {
    scalar::distance_drnu(raw, n, calib, dist, amp);
}

}  // namespace nx::epc
