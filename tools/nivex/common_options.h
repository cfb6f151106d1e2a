// Options every subcommand takes: which camera, the simulated camera, the
// data folder and how much of the library's log reaches the terminal.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

namespace nivex_tool {

struct CommonOptions {
    std::string camera;    // "" (the first), an index, or BUS:PORT
    std::string sim;       // --sim settings, "-" for the default simulated camera
    std::string data_dir;  // "" for the default folder
    int verbose = 0;
    std::vector<CLI::Option *> sim_options;  // one per subcommand

    bool simulated() const {
        for (const CLI::Option *option : sim_options)
            if (option->count() > 0) return true;
        return false;
    }
};

// Adds the common options to a subcommand (each subcommand lists them in its
// --help). Every subcommand shares the one record: only one of them runs.
void add_common_options(CLI::App &command, CommonOptions &options);

// The simulated camera when --sim names nothing else: an EPC camera looking
// at planes between 0.8 and 3 m, so that depth images show some depth; dark
// enough that the nearest plane does not saturate the sensor.
inline constexpr const char *kDefaultSimSettings = "scene=steps,reflect=0.2";
// The simulated camera of `calibrate`: the calibration fixture, a sphere that
// puts its surface 295 mm from every pixel, dark enough not to saturate that
// close, and frames every 10 ms, so that the procedure's 750 frames take
// seconds.
inline constexpr const char *kCalibrationSimSettings = "scene=sphere:295,reflect=0.02,fps=100";

}  // namespace nivex_tool
