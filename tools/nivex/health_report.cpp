// Formatting the stream health counters (see health_report.h).
#include "health_report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "library_session.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

__attribute__((format(printf, 1, 2))) std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

double megabytes(uint64_t bytes) {
    return static_cast<double>(bytes) / 1e6;
}

// "none", or the fault's name and its UTC time of day.
std::string last_error(const nivex_cap_health &h) {
    if (h.last_error == 0) return "none";
    const auto seconds = static_cast<std::time_t>(h.last_error_usec / 1000000u);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return format("%s (%d) at %02d:%02d:%02d.%03u UTC", nivex_error_name(h.last_error),
                  h.last_error, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<unsigned>(h.last_error_usec % 1000000u / 1000u));
}

std::string frames_part(const nivex_cap_health &h) {
    return format("%" PRIu64 " delivered, %" PRIu64 " overflowed, %" PRIu64
                  " bad checksum, %" PRIu64 " broken",
                  h.frames_delivered, h.frames_overflowed, h.frames_bad_checksum, h.frames_broken);
}

std::string link_part(const nivex_cap_health &h) {
    return format("%s speed, %.1f MB/s, %.1f MB received, %" PRIu64 " bytes skipped",
                  speed_name(h.usb_speed), megabytes(h.link_bytes_per_sec),
                  megabytes(h.bytes_received), h.bytes_skipped);
}

std::string transfers_part(const nivex_cap_health &h) {
    return format("%u timeouts, %u stalls, %u errors", h.transfer_timeouts, h.transfer_stalls,
                  h.transfer_errors);
}

std::string buffer_part(const nivex_cap_health &h) {
    return format("%u/%u frames, peak %u", h.buffer_fill, h.buffer_frames, h.buffer_peak);
}

}  // namespace

nivex_cap_health read_health(nivex_device *dev) {
    nivex_cap_health health{};
    health.struct_size = sizeof health;
    if (!nivex_cap_get_health(dev, &health)) throw ToolError("cannot read the stream's health");
    return health;
}

std::string health_summary(const nivex_cap_health &h) {
    return "health: " + frames_part(h) + "\nlink: " + link_part(h) +
           "\ntransfers: " + transfers_part(h) + "\nbuffer: " + buffer_part(h) +
           "\nlast error: " + last_error(h) + "\n";
}

std::string health_line(double seconds, const nivex_cap_health &h) {
    return format("%6.1f s  ", seconds) + "frames " + frames_part(h) + " | buffer " +
           buffer_part(h) + " | link " + link_part(h) + " | transfers " + transfers_part(h) +
           " | last error " + last_error(h) + "\n";
}

std::string health_json(double seconds, const nivex_cap_health &h) {
    return format("{\"seconds\":%.3f,\"capturing\":%u,\"frames_delivered\":%" PRIu64
                  ",\"frames_overflowed\":%" PRIu64 ",\"frames_bad_checksum\":%" PRIu64
                  ",\"frames_broken\":%" PRIu64 ",\"bytes_received\":%" PRIu64
                  ",\"bytes_skipped\":%" PRIu64
                  ",\"transfer_timeouts\":%u,\"transfer_stalls\":%u,\"transfer_errors\":%u",
                  seconds, h.capturing, h.frames_delivered, h.frames_overflowed,
                  h.frames_bad_checksum, h.frames_broken, h.bytes_received, h.bytes_skipped,
                  h.transfer_timeouts, h.transfer_stalls, h.transfer_errors) +
           format(
               ",\"usb_speed\":%u,\"link_bytes_per_sec\":%u,\"buffer_frames\":%u,"
               "\"buffer_fill\":%u,\"buffer_peak\":%u,\"last_error\":%d,"
               "\"last_error_name\":\"%s\",\"last_error_usec\":%" PRIu64
               ",\"captures\":%u,\"capture_usec\":%" PRIu64 "}\n",
               h.usb_speed, h.link_bytes_per_sec, h.buffer_frames, h.buffer_fill, h.buffer_peak,
               h.last_error, h.last_error != 0 ? nivex_error_name(h.last_error) : "",
               h.last_error_usec, h.captures, h.capture_usec);
}

}  // namespace nivex_tool
