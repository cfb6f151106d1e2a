// nivex record: N frames or a duration from a camera into one recording
// file, which nivex replay (or any program through the library) plays back
// as a camera later, elsewhere and with other settings.
#include "capture_command.h"
#include "commands.h"
#include "library_session.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

void record(const CommonOptions &common, const CaptureArgs &args) {
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    capture_on(camera.get(), args);
}

}  // namespace

void add_record_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<CaptureArgs>();
    CLI::App *command = app.add_subcommand(
        "record", "record raw frames with the camera's settings and calibration into one file");
    add_count_options(*command, *args, "seconds to record");
    command->add_option("-o,--output", args->record_path, "the recording file (e.g. field.nxr)")
        ->required();
    command->add_option("--filter", args->filters_on,
                        "switch a filter on before recording: NAME[=VALUE]");
    command->add_option("--no-filter", args->filters_off, "switch a filter off: NAME");
    command->add_option("--buffer", args->buffer_frames,
                        "frames the library keeps ready (default 10)");
    add_common_options(*command, common);
    commands.push_back({command, [args, &common] { record(common, *args); }});
}

}  // namespace nivex_tool
