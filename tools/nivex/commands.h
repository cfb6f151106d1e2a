// The subcommands. Each add_*_command registers its subcommand, options and
// --help text on the application and appends what runs it once parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

#include "common_options.h"

namespace nivex_tool {

struct Command {
    CLI::App *app;
    std::function<void()> run;
    // The simulated camera --sim starts from (the user's settings follow).
    const char *sim_defaults = kDefaultSimSettings;
};
using CommandList = std::vector<Command>;

void add_list_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_info_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_capture_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_param_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_reg_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_firmware_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_upload_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_calibrate_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_health_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_record_command(CLI::App &app, CommonOptions &common, CommandList &commands);
void add_replay_command(CLI::App &app, CommonOptions &common, CommandList &commands);

}  // namespace nivex_tool
