// The setup packet of a control request the camera model logged. With the
// model rather than the simulated libusb, so that tests of either bus the
// model sits on can read it.
#include "sim/camsim.h"

namespace nxsim {

std::array<uint8_t, 8> WireRecord::setup() const {
    return {request_type,
            request,
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(index),
            static_cast<uint8_t>(index >> 8),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8)};
}

}  // namespace nxsim
