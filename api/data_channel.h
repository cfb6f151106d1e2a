// The data channel's exported building blocks and the two procedures built
// on them: writing an image into the camera's flash and copying the camera's
// stored data block into a file. Records and constants: api/data_records.h.
//
// None of these calls locks anything: a caller that shares the device with
// other threads must keep each exchange group (a request and its status, a
// chunk and its ack) apart from other commands. The public nivex_* calls do.
#pragma once

#include <cstdint>

#include "ll/ll_device.h"
#include "nivex.h"

extern "C" {

// Sends an announce (1), erase (7), ack request (4) or chunk (6: header from
// `record`, its len data bytes from `payload`) and checks the camera's
// status: 1 when both succeed, -1 otherwise or for any other action.
NIVEX_API int8_t al_data_send_action_info(ll_device *ll, uint8_t action, const void *record,
                                          const void *payload);
// Ack (4, 13 bytes) or short ack (5, 9 bytes): write phase, then read phase
// into `out`. 1 done, 0 the write phase failed, -1 the read phase failed;
// other actions return 1 without traffic.
NIVEX_API int al_data_read_action_info(ll_device *ll, uint8_t action, void *out);
// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
NIVEX_API uint16_t al_data_calc_crc(const uint8_t *data, uint16_t len);
// Write phase of `size` (low 8 bits) bytes from `record`, then read phase of
// as many into it, each checked.
NIVEX_API bool al_get_data_info(ll_device *ll, uint8_t action_code, void *record, uint32_t size);
// Asks for the next `len` bytes of the stored block: `request` holds the
// 12-byte request (len goes into bytes 4-5) and receives the answer, so it
// must hold max(12, len) bytes.
NIVEX_API bool al_get_data_payload(ll_device *ll, uint8_t *request, uint16_t len);
// Checks that a file can be read whole: 1 and *size_out = its size, or -1
// (size_out untouched).
NIVEX_API int8_t al_data_build_file_buffer(const char *file_name, uint32_t *size_out);

// Writes the image in `file_name` into the camera's flash as data `type`
// with `version` (`addr` is not used). Positive on success, negative on
// failure. Blocks for the transfer and the camera's restart or settling time.
NIVEX_API int nivex_bin_data_write(ll_device *ll, uint8_t type, uint16_t version, uint32_t addr,
                                   const char *file_name);
// Copies the camera's stored data block into `file_name` ("calib.bin" when
// NULL). 1 on success; -1 on failure, the file then left as it was.
NIVEX_API int nivex_bin_data_read(ll_device *ll, uint32_t type, const char *file_name);
}
