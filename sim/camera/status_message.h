// The text a refused command leaves in the camera's status reply.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "sim/camera/wire.h"

namespace nxsim {

// printf-style, cut to what the status reply can carry.
inline std::string status_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string status_message(const char *fmt, ...) {
    char text[kStatusMessageSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

}  // namespace nxsim
