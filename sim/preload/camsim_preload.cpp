// Preload mode: when libnivex_camsim.so is loaded in front of the real
// libusb, the cameras come from the NIVEX_SIM environment variable.
#include <cstdio>
#include <cstdlib>

#include "sim/camsim.h"

namespace {

__attribute__((constructor)) void configure_from_environment() {
    const char *text = std::getenv("NIVEX_SIM");
    std::string error = nxsim::configure(text ? text : "cameras=1");
    if (error.empty()) return;
    std::fprintf(stderr, "[camsim] NIVEX_SIM: %s\n", error.c_str());
    std::exit(2);
}

}  // namespace
