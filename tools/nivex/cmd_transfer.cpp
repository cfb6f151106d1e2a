// nivex firmware / nivex upload: images into the camera's flash and its stored
// data block out of it, with a progress bar from the library's progress hook.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "atomic_file.h"
#include "commands.h"
#include "library_session.h"
#include "numbers.h"
#include "progress.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

// The library's progress hook carries no user pointer; the tool runs one
// transfer at a time on its main thread.
ProgressBar *g_progress = nullptr;

void on_progress(nivex_device *, uint32_t bytes_done, uint32_t bytes_total) {
    if (g_progress != nullptr) g_progress->update(bytes_done, bytes_total);
}

// Shows the progress of the transfers made while it lives.
class ProgressHook {
  public:
    ProgressHook(nivex_device *dev, const std::string &label) : bar_(label), dev_(dev) {
        g_progress = &bar_;
        nivex_data_set_callback_on_progress(dev_, on_progress);
    }
    ~ProgressHook() {
        nivex_data_set_callback_on_progress(dev_, nullptr);
        g_progress = nullptr;
    }
    ProgressHook(const ProgressHook &) = delete;
    ProgressHook &operator=(const ProgressHook &) = delete;

  private:
    ProgressBar bar_;
    nivex_device *dev_;
};

struct FirmwareArgs {
    std::string file;
    std::string type = "0";
    std::string version;
};

void check_readable(const std::string &file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error) || access(file.c_str(), R_OK) != 0)
        throw ToolError("cannot read " + file + ": not a readable file");
    if (std::filesystem::file_size(file, error) == 0) throw ToolError(file + " is empty");
}

void download(const CommonOptions &common, const FirmwareArgs &args) {
    uint32_t type = parse_u32_max(args.type, 0xFF, "--type");
    uint32_t version = parse_u32_max(args.version, 0xFFFF, "--version");
    check_readable(args.file);
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    int result;
    {
        ProgressHook progress(camera.get(), "download");
        if (type <= 3) std::fprintf(stderr, "do not unplug the camera until nivex returns\n");
        result = nivex_firmware_upgrade(camera.get(), type, version, args.file.c_str());
    }
    if (result < 0)
        throw ToolError("download of " + args.file +
                        " failed (the version must be newer than "
                        "the camera's; see " +
                        session.log_path() + ")");
    std::printf("downloaded %s as type %u, version %u\n", args.file.c_str(), type, version);
    if (type <= 1) std::printf("the camera restarted: it is a new USB device now\n");
}

void upload(const CommonOptions &common, const std::string &file) {
    AtomicFile output(file);
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    int result;
    {
        ProgressHook progress(camera.get(), "upload");
        result = nivex_data_upload(camera.get(), 0, output.temp_path().c_str());
    }
    if (result != 1)
        throw ToolError("the camera holds no valid data, or the copy failed (see " +
                        session.log_path() + ")");
    output.commit();
    std::printf("wrote %s (%ju bytes)\n", file.c_str(),
                static_cast<uintmax_t>(std::filesystem::file_size(file)));
}

}  // namespace

void add_firmware_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<FirmwareArgs>();
    CLI::App *firmware =
        app.add_subcommand("firmware", "write a firmware or data image into the camera's flash");
    firmware->add_option("file", args->file, "image file")->required();
    firmware
        ->add_option("--version", args->version,
                     "version of the image, newer than the camera's (hex or decimal)")
        ->required();
    firmware->add_option("--type", args->type,
                         "data type: 0/1 firmware (the camera restarts, 20 s), 2/3 data (7 s), "
                         "default 0");
    add_common_options(*firmware, common);
    commands.push_back({firmware, [args, &common] { download(common, *args); }});
}

void add_upload_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto file = std::make_shared<std::string>("calib.bin");
    CLI::App *upload_command =
        app.add_subcommand("upload", "copy the camera's stored data block into a file");
    upload_command->add_option("file", *file, "output file (default calib.bin)");
    add_common_options(*upload_command, common);
    commands.push_back({upload_command, [file, &common] { upload(common, *file); }});
}

}  // namespace nivex_tool
