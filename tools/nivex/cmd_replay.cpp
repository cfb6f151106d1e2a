// nivex replay: a recording played back as a camera, its frames converted
// and written like nivex capture does, with the recorded filter switches or
// others.
#include "capture_command.h"
#include "commands.h"
#include "library_session.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

struct ReplayArgs {
    std::string recording;
    bool loop = false;
    CaptureArgs capture;
};

// The recording opened as a device, closed at the end of its scope.
class OpenRecording {
  public:
    OpenRecording(const std::string &path, bool loop, const LibrarySession &session) {
        dev_ = nivex_dev_open_recording(path.c_str(), loop ? NIVEX_REPLAY_LOOP : 0);
        if (dev_ == nullptr)
            throw ToolError("cannot replay " + path + " (see " + session.log_path() + ")");
    }
    ~OpenRecording() { nivex_dev_close(dev_); }
    OpenRecording(const OpenRecording &) = delete;
    OpenRecording &operator=(const OpenRecording &) = delete;

    nivex_device *get() { return dev_; }

  private:
    nivex_device *dev_ = nullptr;
};

void replay(const CommonOptions &common, const ReplayArgs &args) {
    LibrarySession session(common);
    OpenRecording recording(args.recording, args.loop, session);
    capture_on(recording.get(), args.capture);
}

}  // namespace

void add_replay_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<ReplayArgs>();
    args->capture.until_end = true;
    CLI::App *command = app.add_subcommand(
        "replay", "play a recording back as a camera and write images, clouds or frame files");
    command->add_option("recording", args->recording, "the recording file")->required();
    command
        ->add_option("-n,--frames", args->capture.frames,
                     "number of frames (default: every recorded frame)")
        ->check(CLI::PositiveNumber);
    command->add_option("-o,--output", args->capture.folder,
                        "folder for the output files (default: the current one)");
    command->add_flag("--loop", args->loop, "play the recording again and again (with -n)");
    add_capture_options(*command, args->capture);
    add_common_options(*command, common);
    commands.push_back({command, [args, &common] { replay(common, *args); }});
}

}  // namespace nivex_tool
