// nivex param get|set: the camera's parameters by name or id.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "library_session.h"
#include "param_table.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

struct ParamArgs {
    std::vector<std::string> names;  // get: none means every known parameter
    std::string name;                // set
    std::string value;               // set
};

std::string label(const ParamInfo &param) {
    return param.name[0] ? param.name : std::to_string(param.id);
}

void get_params(const CommonOptions &common, const ParamArgs &args) {
    std::vector<ParamInfo> params;
    for (const std::string &name : args.names)
        params.push_back(find_param(name));
    const bool every = params.empty();
    if (every) params.assign(known_params().begin(), known_params().end());
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    for (const ParamInfo &param : params) {
        nivex_param_entry entry{};
        if (read_param(camera.get(), param.id, entry)) {
            std::printf("%-12s %s\n", label(param).c_str(), format_param(param, entry).c_str());
        } else if (every) {
            std::printf("%-12s (not answered)\n", label(param).c_str());
        } else {
            throw ToolError("the camera did not answer parameter " + label(param));
        }
    }
}

void set_param(const CommonOptions &common, const ParamArgs &args) {
    ParamInfo param = find_param(args.name);
    nivex_param_entry entry = parse_param(param, args.value);
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    if (!nivex_param_batch_set(camera.get(), &entry, 1))
        throw ToolError("the camera refused parameter " + label(param) + " = " + args.value);
}

std::string known_names() {
    std::string text = "parameters:";
    for (const ParamInfo &param : known_params())
        text += "\n  " + std::string(param.name) + " (" + std::to_string(param.id) +
                "): " + param.meaning;
    return text + "\nor any id 0..255 (hex bytes)";
}

}  // namespace

void add_param_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<ParamArgs>();
    CLI::App *param = app.add_subcommand("param", "read or write camera parameters");
    param->require_subcommand(1);
    param->footer(known_names());
    add_common_options(*param, common);

    CLI::App *get = param->add_subcommand("get", "read parameters (all known ones without names)");
    get->add_option("name", args->names, "parameter names or ids");
    add_common_options(*get, common);
    commands.push_back({get, [args, &common] { get_params(common, *args); }});

    CLI::App *set = param->add_subcommand("set", "write one parameter");
    set->add_option("name", args->name, "parameter name or id")->required();
    set->add_option("value", args->value, "new value")->required();
    add_common_options(*set, common);
    commands.push_back({set, [args, &common] { set_param(common, *args); }});
}

}  // namespace nivex_tool
