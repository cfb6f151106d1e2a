#include "common_options.h"

namespace nivex_tool {

void add_common_options(CLI::App &command, CommonOptions &options) {
    command.add_option("-d,--device", options.camera,
                       "camera: its index in 'nivex list' or BUS:PORT (default: the first)");
    options.sim_options.push_back(command.add_flag(
        "--sim{-}", options.sim,
        "use the built-in simulated camera; --sim=KEY=VALUE,... configures it (e.g. "
        "--sim=scene=wall:1500,fps=15 or --sim=product=NVX-T0-1.0)"));
    command.add_option("--data", options.data_dir,
                       "data folder for calibration files and the log (default: "
                       "~/.cache/nivex, ~/.cache/nivex/sim with --sim)");
    command.add_flag("-v,--verbose", options.verbose,
                     "show the library's log on the terminal (-vv, -vvv: more)");
}

}  // namespace nivex_tool
