// nivex: the command-line tool of libnivex. Lists, inspects and configures
// cameras, captures images and point clouds, and moves firmware and data in
// and out of the camera; with --sim against the built-in simulated camera.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "commands.h"
#include "common_options.h"
#include "nivex.h"
#include "sim_relaunch.h"
#include "tool_error.h"

namespace {

using namespace nivex_tool;

// One line for the user: "nivex: <what went wrong>".
int report(const std::string &message, int exit_status) {
    std::fprintf(stderr, "nivex: %s\n", message.c_str());
    return exit_status;
}

void register_commands(CLI::App &app, CommonOptions &common, CommandList &commands) {
    add_list_command(app, common, commands);
    add_info_command(app, common, commands);
    add_capture_command(app, common, commands);
    add_param_command(app, common, commands);
    add_reg_command(app, common, commands);
    add_firmware_command(app, common, commands);
    add_upload_command(app, common, commands);
    add_calibrate_command(app, common, commands);
    add_health_command(app, common, commands);
    add_record_command(app, common, commands);
    add_replay_command(app, common, commands);
}

// CLI11 reports a mistyped subcommand as a missing one; this names it.
bool unknown_subcommand(CLI::App &app, int argc, char **argv) {
    if (argc < 2 || argv[1][0] == '-') return false;
    for (const CLI::App *command : app.get_subcommands([](CLI::App *) { return true; }))
        if (command->check_name(argv[1])) return false;
    return true;
}

int run(CLI::App &app, const CommonOptions &common, const CommandList &commands, char **argv) {
    for (const Command &command : commands)
        if (command.app->parsed()) {
            relaunch_with_simulator_if_asked(common, command.sim_defaults, argv);
            command.run();
            return 0;
        }
    throw usage_error("no subcommand given (see " + app.get_name() + " --help)");
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"nivex: time-of-flight depth cameras from the command line (libnivex " +
                     std::string(nivex_version()) + ")",
                 "nivex"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string(nivex_version()));
    CommonOptions common;
    CommandList commands;
    register_commands(app, common, commands);
    try {
        if (unknown_subcommand(app, argc, argv))
            return report("unknown subcommand '" + std::string(argv[1]) + "' (see nivex --help)",
                          kExitUsage);
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp &help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion &version) {
        return app.exit(version);
    } catch (const CLI::ParseError &error) {
        return report(error.what(), kExitUsage);
    }
    try {
        return run(app, common, commands, argv);
    } catch (const ToolError &error) {
        return report(error.what(), error.exit_status());
    } catch (const std::exception &error) {
        return report(error.what(), kExitFailure);
    }
}
