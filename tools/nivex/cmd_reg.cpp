// nivex reg read|write: runs of 32-bit registers of a target (1: the image
// sensor). Addresses and values are hex (0x...) or decimal.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "library_session.h"
#include "numbers.h"
#include "tool_error.h"

namespace nivex_tool {
namespace {

constexpr uint32_t kMaxRegisters = 0xFFFF;  // the count travels as 16 bits

struct RegArgs {
    std::string target = "1";
    std::string address;
    std::string count = "1";
    std::vector<std::string> values;
};

void read_registers(const CommonOptions &common, const RegArgs &args) {
    uint32_t target = parse_u32_max(args.target, 0xFF, "--target");
    uint32_t address = parse_u32(args.address, "address");
    uint32_t count = parse_u32_max(args.count, kMaxRegisters, "count");
    if (count == 0) throw usage_error("count must be at least 1");
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    std::vector<uint32_t> values(count);
    if (!nivex_reg_batch_read(camera.get(), target, address, values.data(), count))
        throw ToolError("the camera refused to read " + std::to_string(count) + " register(s) at " +
                        args.address);
    for (uint32_t i = 0; i < count; ++i)
        std::printf("0x%04x: 0x%08x (%u)\n", address + i, values[i], values[i]);
}

void write_registers(const CommonOptions &common, const RegArgs &args) {
    uint32_t target = parse_u32_max(args.target, 0xFF, "--target");
    uint32_t address = parse_u32(args.address, "address");
    if (args.values.size() > kMaxRegisters) throw usage_error("too many values");
    std::vector<uint32_t> values;
    for (const std::string &text : args.values)
        values.push_back(parse_u32(text, "register value"));
    LibrarySession session(common);
    OpenCamera camera(common.camera, session);
    if (!nivex_reg_batch_write(camera.get(), target, address, values.data(),
                               static_cast<uint32_t>(values.size())))
        throw ToolError("the camera refused to write register(s) at " + args.address);
}

}  // namespace

void add_reg_command(CLI::App &app, CommonOptions &common, CommandList &commands) {
    auto args = std::make_shared<RegArgs>();
    CLI::App *reg = app.add_subcommand("reg", "read or write 32-bit registers");
    reg->require_subcommand(1);
    add_common_options(*reg, common);

    CLI::App *read = reg->add_subcommand("read", "read COUNT registers from ADDRESS on");
    read->add_option("address", args->address, "first register (hex 0x... or decimal)")->required();
    read->add_option("count", args->count, "number of registers (default 1)");
    read->add_option("-t,--target", args->target, "register target (default 1: image sensor)");
    add_common_options(*read, common);
    commands.push_back({read, [args, &common] { read_registers(common, *args); }});

    CLI::App *write = reg->add_subcommand("write", "write VALUE... from ADDRESS on");
    write->add_option("address", args->address, "first register (hex 0x... or decimal)")
        ->required();
    write->add_option("values", args->values, "values (hex 0x... or decimal)")->required();
    write->add_option("-t,--target", args->target, "register target (default 1: image sensor)");
    add_common_options(*write, common);
    commands.push_back({write, [args, &common] { write_registers(common, *args); }});
}

}  // namespace nivex_tool
