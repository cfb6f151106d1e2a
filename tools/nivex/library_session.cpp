#include "library_session.h"

#include <cstdlib>
#include <filesystem>

#include "numbers.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxCameras = 32;

std::string default_data_dir(bool simulated) {
    fs::path base;
    if (const char *cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache != '\0')
        base = fs::path(cache) / "nivex";
    else if (const char *home = std::getenv("HOME"); home != nullptr && *home != '\0')
        base = fs::path(home) / ".cache" / "nivex";
    else
        base = "nivex-data";
    // Simulated cameras bring calibration files of their own; they must not
    // mix with a real camera's.
    return (simulated ? base / "sim" : base).string();
}

uint32_t console_level(int verbose) {
    switch (verbose) {
        case 0:
            return NX_LOG_OFF;
        case 1:
            return NX_LOG_WRN;
        case 2:
            return NX_LOG_INF;
        default:
            return NX_LOG_DBG;
    }
}

// An index into the list, or the camera at BUS:PORT.
int select_camera(const std::vector<nivex_device> &cameras, const std::string &selector) {
    if (cameras.empty()) throw ToolError("no camera found (without one, try --sim)");
    if (selector.empty()) return 0;
    size_t colon = selector.find(':');
    if (colon == std::string::npos) {
        uint32_t index = parse_u32(selector, "--device");
        if (index >= cameras.size())
            throw ToolError("no camera " + selector + ": " + std::to_string(cameras.size()) +
                            " found");
        return static_cast<int>(index);
    }
    uint32_t bus = parse_u32(selector.substr(0, colon), "--device bus");
    uint32_t port = parse_u32(selector.substr(colon + 1), "--device port");
    for (size_t i = 0; i < cameras.size(); ++i)
        if (cameras[i].usb_bus == bus && cameras[i].usb_port == port) return static_cast<int>(i);
    throw ToolError("no camera at bus " + std::to_string(bus) + " port " + std::to_string(port));
}

}  // namespace

LibrarySession::LibrarySession(const CommonOptions &options) {
    std::string folder =
        options.data_dir.empty() ? default_data_dir(options.simulated()) : options.data_dir;
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder))
        throw ToolError("cannot create the data folder " + folder + ": " + error.message());
    if (folder.back() != '/') folder += '/';
    log_path_ = folder + "nivex.log";
    if (!nivex_init(log_path_.c_str())) throw ToolError("the library did not start");
    nivex_log_cfg(console_level(options.verbose), NX_LOG_INF, NX_LOG_ERR);
    if (nivex_path_cfg(folder.c_str()) != 0) {
        nivex_uninit();
        throw ToolError("cannot use the data folder " + folder);
    }
}

LibrarySession::~LibrarySession() {
    nivex_uninit();
}

std::vector<nivex_device> list_cameras() {
    std::vector<nivex_device> cameras(kMaxCameras);
    int found = nivex_dev_list(cameras.data(), kMaxCameras);
    cameras.resize(static_cast<size_t>(found > 0 ? found : 0));
    return cameras;
}

const char *speed_name(unsigned speed_code) {
    static const char *const kNames[] = {"unknown", "low", "full", "high", "super", "super+"};
    return speed_code < std::size(kNames) ? kNames[speed_code] : "unknown";
}

OpenCamera::OpenCamera(const std::string &selector, const LibrarySession &session) {
    std::vector<nivex_device> cameras = list_cameras();
    index_ = select_camera(cameras, selector);
    record_ = cameras[static_cast<size_t>(index_)];
    open(session);
}

OpenCamera::OpenCamera(const nivex_device &listed, const LibrarySession &session)
    : record_(listed) {
    open(session);
}

void OpenCamera::open(const LibrarySession &session) {
    if (nivex_dev_open(&record_) == nullptr)
        throw ToolError("cannot open the camera at bus " + std::to_string(record_.usb_bus) +
                        " port " + std::to_string(record_.usb_port) + " (see " +
                        session.log_path() + ")");
}

OpenCamera::~OpenCamera() {
    nivex_dev_close(&record_);
}

}  // namespace nivex_tool
