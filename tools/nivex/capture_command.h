// The capture engine of the tool's capture, record and replay commands:
// their shared options and the run that fetches frames from an open device
// and writes the outputs.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "capture_outputs.h"
#include "nivex.h"

namespace nivex_tool {

struct CaptureArgs {
    uint32_t frames = 0;  // 0: as many as the duration allows
    double duration = 0;  // seconds, 0: no limit
    uint32_t buffer_frames = 10;
    std::string folder = ".";
    OutputNames names;
    std::string range = "0.5:4.5";
    bool ply_ascii = false;
    std::string file_format = "u16";
    std::string lens;
    std::vector<std::string> filters_on;
    std::vector<std::string> filters_off;
    bool until_end = false;   // a replay: the end of the frames ends the run
    std::string record_path;  // record the capture into this file
};

// -n (frames) and -t (duration, described by duration_help).
void add_count_options(CLI::App &command, CaptureArgs &args, const char *duration_help);
// The output flags and the options of the frames' conversion (range, lens,
// file format, filters, buffer).
void add_capture_options(CLI::App &command, CaptureArgs &args);
// Switches the filters, captures the frames `args` asks for from `dev` and
// writes the outputs; throws ToolError on failure.
void capture_on(nivex_device *dev, const CaptureArgs &args);

}  // namespace nivex_tool
