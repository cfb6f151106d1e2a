// The EPC driver's runtime features inside the frame path: the automatic
// integration time and the DCS pair-sum check (decode), the temperature
// monitor (frame description). Their timers are per device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drivers/epc/epc_driver_state.h"

namespace nx::epc {

// Raw words of a frame by value: low 2..511, normal 512..3584, high
// 3585..4094, bad otherwise (0, 1, 4095 and above).
struct WordCounts {
    uint32_t words = 0;
    uint32_t low = 0;
    uint32_t normal = 0;
    uint32_t high = 0;
    uint32_t bad = 0;
};
WordCounts classify_words(const uint8_t *src, size_t words);

// The change of integration time (microseconds) the counts ask for.
int auto_intg_calc_step(const WordCounts &counts, uint16_t sat_ratio);

// One step of the automatic integration time from the first `count` bytes of
// a raw frame, at most once per millisecond per device: the new time goes to
// the camera (parameter 13) and to the sensor model.
void _feature_auto_intg(epc_driver_state &state, const uint8_t *src, uint32_t count);

// The DCS pair-sum check of a frame of n pixels. False when the decode is to
// end (-1): the frame failed and a corrective write of parameter 17 went to
// the camera, which happens at most once a second. A failed frame within
// that second is decoded (true) with frame_valid cleared.
bool dcs_check(epc_driver_state &state, const uint8_t *src, size_t n);

// Logs the temperatures and the frame rate every 10 s (the first frame at
// once).
void _feature_temp_monitor(epc_driver_state &state);

}  // namespace nx::epc
