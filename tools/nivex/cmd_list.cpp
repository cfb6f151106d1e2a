// nivex list: every camera on the bus with its USB place and identity.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "library_session.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

struct ListedCamera {
    nivex_device usb;
    std::string product;
    std::string info;
    bool opened = false;
};

// The product and information texts come from the camera, so each camera is
// opened once; one that cannot be opened (in use elsewhere) is still listed.
std::vector<ListedCamera> identify_cameras(const LibrarySession &session) {
    std::vector<ListedCamera> listed;
    for (const nivex_device &usb : list_cameras()) {
        ListedCamera camera{usb, "", "", false};
        try {
            OpenCamera open(usb, session);
            camera.product = open.record().product;
            camera.info = open.record().info_str;
            camera.opened = true;
        } catch (const ToolError &) {
        }
        listed.push_back(camera);
    }
    return listed;
}

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void print_json(const std::vector<ListedCamera> &cameras) {
    std::printf("[");
    for (size_t i = 0; i < cameras.size(); ++i) {
        const ListedCamera &c = cameras[i];
        std::printf(
            "%s\n  {\"index\": %zu, \"bus\": %u, \"port\": %u, \"address\": %u, \"speed\": %s, "
            "\"product\": %s, \"info\": %s, \"opened\": %s}",
            i == 0 ? "" : ",", i, c.usb.usb_bus, c.usb.usb_port, c.usb.usb_addr,
            json_string(speed_name(c.usb.usb_speed)).c_str(), json_string(c.product).c_str(),
            json_string(c.info).c_str(), c.opened ? "true" : "false");
    }
    std::printf("%s]\n", cameras.empty() ? "" : "\n");
}

void print_table(const std::vector<ListedCamera> &cameras) {
    if (cameras.empty()) {
        std::printf("no camera found\n");
        return;
    }
    std::printf("%-3s %-4s %-4s %-4s %-7s %-20s %s\n", "#", "bus", "port", "addr", "speed",
                "product", "info");
    for (size_t i = 0; i < cameras.size(); ++i) {
        const ListedCamera &c = cameras[i];
        std::printf("%-3zu %-4u %-4u %-4u %-7s %-20s %s\n", i, c.usb.usb_bus, c.usb.usb_port,
                    c.usb.usb_addr, speed_name(c.usb.usb_speed),
                    c.opened ? c.product.c_str() : "(cannot open)", c.info.c_str());
    }
}

}  // namespace

void add_list_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto json = std::make_shared<bool>(false);
    CLI::App *list = app.add_subcommand("list",
                                        "list every camera: bus, port, address, speed, "
                                        "product and information text");
    list->add_flag("--json", *json, "print a JSON array");
    add_common_options(*list, common);
    commands.push_back({list, [json, &common] {
                            LibrarySession session(common);
                            std::vector<ListedCamera> cameras = identify_cameras(session);
                            if (*json)
                                print_json(cameras);
                            else
                                print_table(cameras);
                        }});
}

}  // namespace nivex_tool
