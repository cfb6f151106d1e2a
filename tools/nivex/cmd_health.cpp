// nivex health: runs a capture and shows the stream's health counters once a
// second, until the duration is over, the user interrupts it (Ctrl-C) or the
// capture ends by itself (the camera was unplugged, transfers kept failing).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "health_report.h"
#include "library_session.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for frames lasts: short against the reporting period,
// so an interrupt or a report is never held up by it.
constexpr uint32_t kWaitMs = 100;
constexpr std::chrono::seconds kReportPeriod{1};

struct HealthArgs {
    double duration = 0;  // seconds, 0: until interrupted
    uint32_t buffer_frames = 10;
    bool json = false;
};

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// Frames are taken out through the callbacks; the counters tell the rest.
void on_frame(nivex_device *, nivex_frame *) {}
bool keep_going(nivex_device *, int, uint32_t) {
    return true;
}

void report(const HealthArgs &args, double seconds, const nivex_cap_health &health) {
    const std::string text =
        args.json ? health_json(seconds, health) : health_line(seconds, health);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// Reports once per period until the end; returns the last counters.
nivex_cap_health watch(nivex_device *dev, const HealthArgs &args) {
    const Clock::time_point start = Clock::now();
    Clock::time_point next_report = start + kReportPeriod;
    auto seconds = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (!g_interrupted && (args.duration == 0 || seconds() < args.duration)) {
        // true: the capture ended by itself.
        const bool ended = nivex_cap_wait(dev, kWaitMs) || !nivex_cap_is_ongoing(dev);
        if (ended || Clock::now() >= next_report) {
            report(args, seconds(), read_health(dev));
            next_report += kReportPeriod;
        }
        if (ended) break;
    }
    return read_health(dev);
}

void health(const CommonOptions &common, const HealthArgs &args) {
    if (args.buffer_frames < 2) throw usage_error("--buffer needs at least 2 frames");
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    nivex_device *dev = camera.get();
    if (!nivex_cap_set_frame_buffer(dev, nullptr, args.buffer_frames * NIVEX_FRAME_SLOT_SIZE))
        throw ToolError("cannot keep " + std::to_string(args.buffer_frames) + " frames ready");
    nivex_cap_set_callback_on_frame_ready(dev, on_frame);
    nivex_cap_set_callback_on_error(dev, keep_going);
    if (!nivex_cap_start(dev)) throw ToolError("the camera did not start capturing");
    g_interrupted = 0;
    auto previous = std::signal(SIGINT, on_interrupt);
    nivex_cap_health last{};
    try {
        last = watch(dev, args);
    } catch (...) {
        std::signal(SIGINT, previous);
        nivex_cap_stop(dev);
        throw;
    }
    std::signal(SIGINT, previous);
    const bool ended = !nivex_cap_is_ongoing(dev);
    nivex_cap_stop(dev);
    if (ended && !g_interrupted)
        throw ToolError(last.last_error != 0
                            ? std::string("the capture ended: ") + nivex_error_name(last.last_error)
                            : std::string("the capture ended"));
}

}  // namespace

void add_health_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<HealthArgs>();
    CLI::App *command =
        app.add_subcommand("health", "capture and show the stream's health counters once a second");
    command->add_option("-t,--duration", args->duration, "seconds to watch (default: until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    command->add_flag("--json", args->json, "one JSON object per line instead of text");
    command->add_option("--buffer", args->buffer_frames,
                        "frames the library keeps ready (default 10)");
    command->footer(
        "Counters: frames delivered, dropped by overflow, discarded for a bad checksum or a "
        "broken stream; stream bytes received and skipped; transfer timeouts, stalls and "
        "errors; USB speed and link throughput; frame-buffer fill and peak; last error.");
    add_common_options(*command, common);
    commands.push_back({command, [args, &common] { health(common, *args); }});
}

}  // namespace nivex_tool
