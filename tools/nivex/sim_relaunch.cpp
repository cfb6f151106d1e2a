#include "sim_relaunch.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tool_error.h"

namespace nivex_tool {
namespace {

namespace fs = std::filesystem;

// Marks the relaunched process, so that it does not relaunch again.
constexpr const char *kRelaunchedVariable = "NIVEX_TOOL_SIMULATED";

// Where the simulator library lies relative to the tool's own folder: in the
// build tree, and in the installed tree (set by the build).
constexpr const char *kSimFromBuildTree = NIVEX_TOOL_SIM_FROM_BUILD;
constexpr const char *kSimFromInstallTree = NIVEX_TOOL_SIM_FROM_INSTALL;

fs::path find_simulator() {
    std::error_code error;
    fs::path tool = fs::read_symlink("/proc/self/exe", error);
    if (error) throw ToolError("cannot locate the nivex executable: " + error.message());
    fs::path folder = tool.parent_path();
    for (const char *relative : {kSimFromBuildTree, kSimFromInstallTree}) {
        fs::path candidate = (folder / relative).lexically_normal();
        if (fs::exists(candidate, error)) return candidate;
    }
    throw ToolError("simulator library not found: looked for " +
                    (folder / kSimFromBuildTree).lexically_normal().string() + " and " +
                    (folder / kSimFromInstallTree).lexically_normal().string());
}

std::string sim_settings(const char *defaults, const std::string &given) {
    std::string settings = defaults;
    // Later keys win in the simulator, so the user's settings override the
    // default scene.
    if (!given.empty() && given != "-") settings += "," + given;
    return settings;
}

std::string preload_list(const fs::path &simulator) {
    const char *earlier = std::getenv("LD_PRELOAD");
    std::string list = simulator.string();
    if (earlier != nullptr && *earlier != '\0') list += std::string(":") + earlier;
    return list;
}

}  // namespace

void relaunch_with_simulator_if_asked(const CommonOptions &options, const char *sim_defaults,
                                      char **argv) {
    if (!options.simulated()) return;
    const char *relaunched = std::getenv(kRelaunchedVariable);
    if (relaunched != nullptr && std::strcmp(relaunched, "1") == 0) return;
    fs::path simulator = find_simulator();
    setenv("NIVEX_SIM", sim_settings(sim_defaults, options.sim).c_str(), 1);
    setenv("LD_PRELOAD", preload_list(simulator).c_str(), 1);
    setenv(kRelaunchedVariable, "1", 1);
    execv("/proc/self/exe", argv);
    throw ToolError(std::string("cannot run the tool again with the simulator: ") +
                    std::strerror(errno));
}

}  // namespace nivex_tool
