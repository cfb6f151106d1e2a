// nivex capture: N frames or a duration from a camera, written as depth and
// amplitude images, a point cloud, frame files or raw frames.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture_command.h"
#include "capture_outputs.h"
#include "commands.h"
#include "filter_switches.h"
#include "health_report.h"
#include "library_session.h"
#include "progress.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFetchBufferBytes = 4 * NIVEX_FRAME_SLOT_SIZE;
constexpr double kSilenceLimitSeconds = 5.0;

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

int distance_format(const std::string &name) {
    if (name == "f32") return NIVEX_FRAME_SAVE_F32;
    if (name == "u32") return NIVEX_FRAME_SAVE_U32;
    if (name == "u16") return NIVEX_FRAME_SAVE_U16;
    throw usage_error("--file-format wants f32, u32 or u16, got " + name);
}

nivex_lens_param parse_lens(const std::string &text) {
    float values[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t comma = text.find(',', start);
        if ((comma == std::string::npos) != (i == 3))
            throw usage_error("--lens wants CX,CY,FX,FY, got " + text);
        values[i] = static_cast<float>(parse_real(text.substr(start, comma - start), "--lens"));
        start = comma + 1;
    }
    if (values[2] == 0.0f || values[3] == 0.0f) throw usage_error("--lens: focal length 0");
    return {values[0], values[1], values[2], values[3], 1.0f};
}

OutputSettings output_settings(const CaptureArgs &args) {
    OutputSettings settings;
    settings.range = parse_range(args.range, "--range");
    settings.ply = args.ply_ascii ? PlyEncoding::kAscii : PlyEncoding::kBinaryLittleEndian;
    settings.distance_format = distance_format(args.file_format);
    if (!args.lens.empty()) settings.lens = parse_lens(args.lens);
    return settings;
}

struct Tally {
    uint32_t frames = 0;
    double seconds = 0;  // from the start to the last frame
    // Between the first and the last frame: the camera's rate, not counting
    // the frames it had ready when the capture started.
    double frame_span = 0;
    int error = 0;  // the fetch result that ended the capture early
    nivex_cap_stats stats{};
    nivex_cap_health health{};
};

double frame_rate(const Tally &tally) {
    return tally.frame_span > 0 ? (tally.frames - 1) / tally.frame_span : 0.0;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Fetches frames until the count or the duration is reached, an error ends
// the capture, or the user interrupts it. `last` keeps the last frame.
Tally run_capture(nivex_device *dev, const CaptureArgs &args, CaptureOutputs &outputs,
                  std::vector<uint8_t> &last, nivex_frame_meta &last_meta) {
    std::vector<uint8_t> buffer(kFetchBufferBytes);
    StatusLine status;
    Tally tally;
    const Clock::time_point start = Clock::now();
    Clock::time_point last_frame_time = start, first_frame_time = start;
    while (!g_interrupted && (args.frames == 0 || tally.frames < args.frames) &&
           (args.duration == 0 || seconds_since(start) < args.duration)) {
        nivex_frame_meta meta{};
        int got = nivex_cap_get_frames(dev, 1, buffer.data(), kFetchBufferBytes, &meta);
        if (got < 0) {
            // The end of a replayed recording is the end of the capture.
            if (!(args.until_end && got == NIVEX_ERR_NOT_CAPTURING)) tally.error = got;
            break;
        }
        if (got == 0) {
            if (seconds_since(last_frame_time) > kSilenceLimitSeconds)
                throw ToolError("no frame from the camera for 5 s");
            continue;
        }
        last_frame_time = Clock::now();
        if (tally.frames++ == 0) first_frame_time = last_frame_time;
        tally.frame_span =
            std::chrono::duration<double>(last_frame_time - first_frame_time).count();
        outputs.add_frame(dev, {std::span(buffer.data(), meta.frame_size), meta});
        last.swap(buffer);
        buffer.resize(kFetchBufferBytes);
        last_meta = meta;
        char line[96];
        std::snprintf(line, sizeof line, "frame %u%s, %.1f fps", tally.frames,
                      args.frames ? ("/" + std::to_string(args.frames)).c_str() : "",
                      frame_rate(tally));
        status.show(line);
    }
    tally.seconds = seconds_since(start);
    nivex_cap_get_stats(dev, &tally.stats);
    tally.health = read_health(dev);
    return tally;
}

void print_summary(const Tally &tally) {
    const nivex_cap_stats &s = tally.stats;
    std::printf("frames: %u in %.2f s, %.1f fps\n", tally.frames, tally.seconds, frame_rate(tally));
    std::printf("dropped: %u (%u damaged, %u not fetched in time)\n",
                s.frames_discarded + s.frames_overflowed, s.frames_discarded, s.frames_overflowed);
    std::printf("stream: %u assembled, %u queued, %u ready, %u bytes skipped\n", s.frames_assembled,
                s.frames_queued, s.frames_ready, s.bytes_skipped);
    std::fputs(health_summary(tally.health).c_str(), stdout);
}

void print_centre(const RawFrame &frame, const std::vector<float> &distance) {
    size_t centre =
        static_cast<size_t>(frame.meta.height / 2) * frame.meta.width + frame.meta.width / 2;
    float metres = distance[centre];
    if (valid_distance(metres))
        std::printf("centre distance: %.3f m (pixel %u,%u)\n", static_cast<double>(metres),
                    frame.meta.width / 2, frame.meta.height / 2);
    else
        std::printf("centre distance: none (marker %.1f)\n", static_cast<double>(metres));
}

void capture(const CommonOptions &common, const CaptureArgs &args) {
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    capture_on(camera.get(), args);
}

void add_output_flags(CLI::App &capture, OutputNames &names) {
    struct OutputFlag {
        const char *flag;  // with its default file name in braces
        std::string OutputNames::*name;
        const char *help;
    };
    static const OutputFlag kFlags[] = {
        {"--depth-png{depth.png}", &OutputNames::depth_png,
         "colour-mapped depth image (near red, far blue over --range)"},
        {"--depth16-png{depth16.png}", &OutputNames::depth16_png,
         "16-bit depth image in millimetres (markers 65300/65400/65500)"},
        {"--amplitude-png{amplitude.png}", &OutputNames::amplitude_png,
         "amplitude image, brightest pixel white"},
        {"--ply{cloud.ply}", &OutputNames::ply,
         "point cloud (binary little-endian; --ascii), coloured like --depth-png"},
        {"--distance-file{distance.nxd}", &OutputNames::distance_file,
         "every frame's distance image in a frame file (see --file-format)"},
        {"--amplitude-file{amplitude.nxg}", &OutputNames::amplitude_file,
         "every frame's amplitude image in a frame file (U16)"},
        {"--raw{frames.raw}", &OutputNames::raw, "every frame's raw bytes, back to back"},
    };
    for (const OutputFlag &output : kFlags)
        capture.add_flag(output.flag, names.*output.name, output.help);
}

}  // namespace

void capture_on(nivex_device *dev, const CaptureArgs &args) {
    if (args.buffer_frames < 2) throw usage_error("--buffer needs at least 2 frames");
    const OutputSettings settings = output_settings(args);
    const std::vector<FilterChange> filters = plan_filters(args.filters_on, args.filters_off);
    CaptureArgs plan = args;
    if (plan.frames == 0 && plan.duration == 0 && !plan.until_end) plan.frames = 1;
    CaptureOutputs outputs(args.folder, args.names, settings);
    apply_filters(dev, filters);
    if (!args.record_path.empty() && !nivex_rec_start(dev, args.record_path.c_str()))
        throw ToolError("cannot record into " + args.record_path + " (see the log)");
    if (!nivex_cap_set_frame_buffer(dev, nullptr, args.buffer_frames * NIVEX_FRAME_SLOT_SIZE))
        throw ToolError("cannot keep " + std::to_string(args.buffer_frames) + " frames ready");
    if (!nivex_cap_start(dev)) throw ToolError("the camera did not start capturing");
    g_interrupted = 0;
    auto previous = std::signal(SIGINT, on_interrupt);
    std::vector<uint8_t> last;
    nivex_frame_meta last_meta{};
    Tally tally;
    try {
        tally = run_capture(dev, plan, outputs, last, last_meta);
    } catch (...) {
        std::signal(SIGINT, previous);
        nivex_cap_stop(dev);
        throw;
    }
    std::signal(SIGINT, previous);
    nivex_cap_stop(dev);
    if (!args.record_path.empty())
        std::printf("recorded %d frames into %s\n", nivex_rec_stop(dev), args.record_path.c_str());
    print_summary(tally);
    // A capture the camera broke off writes nothing: the files would not
    // hold what was asked for. One the user interrupted keeps its frames.
    if (tally.error)
        throw ToolError(std::string("the capture ended early: ") + nivex_error_name(tally.error));
    if (tally.frames == 0) throw ToolError("no frame captured: interrupted");
    RawFrame frame{std::span(last.data(), last_meta.frame_size), last_meta};
    std::vector<float> distance = decode_distance(dev, frame);
    print_centre(frame, distance);
    for (const std::string &path : outputs.finish(dev, frame, distance))
        std::printf("wrote %s\n", path.c_str());
}

void add_capture_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<CaptureArgs>();
    CLI::App *capture_command = app.add_subcommand(
        "capture", "capture frames and write images, point clouds or frame files");
    add_count_options(*capture_command, *args, "seconds to capture");
    capture_command->add_option("-o,--output", args->folder,
                                "folder for the output files (default: the current one)");
    add_capture_options(*capture_command, *args);
    add_common_options(*capture_command, common);
    commands.push_back({capture_command, [args, &common] { capture(common, *args); }});
}

void add_count_options(CLI::App &command, CaptureArgs &args, const char *duration_help) {
    command
        .add_option("-n,--frames", args.frames,
                    "number of frames (default 1, or as many as --duration allows)")
        ->check(CLI::PositiveNumber);
    command.add_option("-t,--duration", args.duration, duration_help)
        ->check(CLI::NonNegativeNumber);
}

void add_capture_options(CLI::App &command, CaptureArgs &args) {
    add_output_flags(command, args.names);
    command.footer(
        "Output flags take an optional file name (--ply=scan.ply); images and the point cloud "
        "show the last frame.\nFilters: " +
        filter_names());
    command.add_option("--range", args.range,
                       "distance range of the colour map in metres (default 0.5:4.5)");
    command.add_flag("--ascii", args.ply_ascii, "write the point cloud as ASCII");
    command.add_option("--file-format", args.file_format,
                       "samples of --distance-file: f32, u32 or u16 (mm, default)");
    command.add_option("--lens", args.lens,
                       "point-cloud intrinsics CX,CY,FX,FY in pixels (default: the "
                       "driver's)");
    command.add_option("--filter", args.filters_on, "switch a filter on: NAME[=VALUE]");
    command.add_option("--no-filter", args.filters_off, "switch a filter off: NAME");
    command.add_option("--buffer", args.buffer_frames,
                       "frames the library keeps ready (default 10)");
}

}  // namespace nivex_tool
