// The C boundary of the sensor library: every exported call runs its body
// through guarded(), so no exception (an allocation failure) ever leaves the
// library; the call then fails with its fallback result.
#pragma once

#include "common/nx_log.h"
#include "sensorlib/sensor_registry.h"

namespace nx::sensor {

template <typename Result, typename Body>
Result guarded(const char *fn, Result fallback, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        NX_ERR(fn, "[%s] out of memory\n");
        return fallback;
    }
}

template <typename Body>
void guarded(const char *fn, Body body) noexcept {
    try {
        body();
    } catch (...) {
        NX_ERR(fn, "[%s] out of memory\n");
    }
}

}  // namespace nx::sensor

namespace nx::sensor {

// Runs `body` on the current device's record.
template <typename Result, typename Body>
Result on_current(const char *fn, Result fallback, Body body) noexcept {
    return guarded(fn, fallback, [&] { return body(*current_model()); });
}

template <typename Body>
void on_current(const char *fn, Body body) noexcept {
    guarded(fn, [&] { body(*current_model()); });
}

}  // namespace nx::sensor
