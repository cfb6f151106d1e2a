// nivex info: who the camera is and how it is set up now.
#include <cstdio>
#include <string>

#include "commands.h"
#include "library_session.h"
#include "param_table.h"

namespace nivex_tool {
namespace {

// The product text is "<maker>-<chip code>-<version>": the camera's firmware
// version is its last field.
std::string product_field(const std::string &product, int field) {
    size_t start = 0;
    for (int i = 0; i < field; ++i) {
        start = product.find('-', start);
        if (start == std::string::npos) return "?";
        ++start;
    }
    size_t end = product.find('-', start);
    return product.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string hex(const uint8_t *bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
        out += (i ? " " : "") + std::string(byte);
    }
    return out;
}

void print_param(nivex_device *dev, const char *label, const char *name, const char *unit) {
    ParamInfo param = find_param(name);
    nivex_param_entry entry{};
    if (read_param(dev, param.id, entry))
        std::printf("%-16s %s%s\n", label, format_param(param, entry).c_str(), unit);
    else
        std::printf("%-16s (not answered)\n", label);
}

void print_info(OpenCamera &camera) {
    const nivex_device &r = camera.record();
    std::string product = r.product;
    std::printf("%-16s %d (bus %u, port %u, address %u, %s speed)\n", "camera", camera.index(),
                r.usb_bus, r.usb_port, r.usb_addr, speed_name(r.usb_speed));
    std::printf("%-16s %s\n", "product", product.c_str());
    std::printf("%-16s %s\n", "chip code", product_field(product, 1).c_str());
    std::printf("%-16s %s\n", "firmware", product_field(product, 2).c_str());
    std::printf("%-16s %s\n", "info", r.info_str);
    std::printf("%-16s %s\n", "id data", hex(r.id_data, 18).c_str());
    std::printf("%-16s %s\n", "info data", hex(r.info_data, sizeof r.info_data).c_str());
    print_param(camera.get(), "chip", "chip_info", "");
    print_param(camera.get(), "temperatures", "temperature", " degC");
    print_param(camera.get(), "frame rate", "frame_rate", " fps");
    print_param(camera.get(), "integration time", "intg_time", " us");
    print_param(camera.get(), "sensor mode", "sensor_mode", "");
    print_param(camera.get(), "stored data", "data_info", "");
    std::printf("%-16s %s\n", "library", nivex_version());
}

}  // namespace

void add_info_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    CLI::App *info = app.add_subcommand(
        "info",
        "identity, firmware version, chip information, temperatures, frame rate and "
        "integration time of a camera");
    add_common_options(*info, common);
    commands.push_back({info, [&common] {
                            LibrarySession session(common);
                            OpenCamera camera(common.camera, session);
                            print_info(camera);
                        }});
}

}  // namespace nivex_tool
