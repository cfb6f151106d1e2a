// --sim: the tool runs itself again with the simulator library preloaded in
// front of libusb and NIVEX_SIM describing the simulated cameras, so that the
// unchanged library finds a camera on a machine without one.
#pragma once

#include "common_options.h"

namespace nivex_tool {

// Without --sim, or when this process already runs with the simulator,
// returns. Otherwise replaces the process (never returns) or throws
// ToolError when the simulator library is not found next to the tool. The
// simulated camera starts from `sim_defaults`; the settings given to --sim
// follow them (later keys win).
void relaunch_with_simulator_if_asked(const CommonOptions &options, const char *sim_defaults,
                                      char **argv);

}  // namespace nivex_tool
