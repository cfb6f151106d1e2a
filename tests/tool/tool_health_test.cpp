// nivex health against the simulated camera, and the health block of the
// capture summary: the counters the tool prints move with the simulator's
// faults.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "nivex.h"
#include "tool_runner.h"

namespace tooltest {
namespace {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The number after "\"key\":" in a JSON line; -1 when the key is missing.
long long json_number(const std::string &line, const std::string &key) {
    const std::string tag = "\"" + key + "\":";
    const size_t at = line.find(tag);
    if (at == std::string::npos) return -1;
    return std::stoll(line.substr(at + tag.size()));
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A TI camera: its driver does not capture while it opens, so every fault
// strikes in the watched capture.
constexpr const char *kTiSim = "--sim=product=NVX-T0-1.0";

class ToolHealth : public ToolTest {};

TEST_F(ToolHealth, WatchShowsTheCountersOnceASecond) {
    ToolRun run = nivex({"health", "--sim", "-t", "2.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 2u) << run.out;
    ASSERT_LE(lines.size(), 3u) << run.out;
    for (const std::string &line : lines) {
        EXPECT_TRUE(contains(line, " delivered, 0 overflowed, 0 bad checksum, 0 broken")) << line;
        EXPECT_TRUE(contains(line, "| link high speed, ")) << line;
        EXPECT_TRUE(contains(line, "| transfers 0 timeouts, 0 stalls, 0 errors")) << line;
        EXPECT_TRUE(contains(line, "| last error none")) << line;
    }
}

TEST_F(ToolHealth, JsonLinesCarryGrowingCounters) {
    ToolRun run = nivex({"health", "--sim", "--json", "-t", "2.5"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_GE(lines.size(), 2u) << run.out;
    long long delivered = 0, received = 0;
    for (const std::string &line : lines) {
        ASSERT_EQ(line.front(), '{') << line;
        ASSERT_EQ(line.back(), '}') << line;
        EXPECT_EQ(json_number(line, "usb_speed"), 3) << line;
        EXPECT_EQ(json_number(line, "buffer_frames"), 10) << line;
        // The EPC camera's driver captures once while it opens: per open.
        EXPECT_EQ(json_number(line, "captures"), json_number(lines.front(), "captures"));
        EXPECT_GE(json_number(line, "captures"), 1) << line;
        EXPECT_GE(json_number(line, "frames_delivered"), delivered) << line;
        EXPECT_GE(json_number(line, "bytes_received"), received) << line;
        delivered = json_number(line, "frames_delivered");
        received = json_number(line, "bytes_received");
    }
    EXPECT_GT(delivered, 0);
    EXPECT_GT(json_number(lines.back(), "link_bytes_per_sec"), 0) << lines.back();
}

TEST_F(ToolHealth, StallsOfTheCameraAreShown) {
    ToolRun run = nivex({"health", std::string(kTiSim) + ",stall=2", "--json", "-t", "3"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(json_number(lines.back(), "transfer_stalls"), 2) << lines.back();
    EXPECT_EQ(json_number(lines.back(), "transfer_timeouts"), 0) << lines.back();
    EXPECT_EQ(json_number(lines.back(), "last_error"), NIVEX_ERR_CAP_STALL) << lines.back();
    EXPECT_TRUE(contains(lines.back(), "\"last_error_name\":\"NIVEX_ERR_CAP_STALL\""));
}

TEST_F(ToolHealth, UnpluggedCameraEndsTheWatchWithItsError) {
    ToolRun run = nivex({"health", std::string(kTiSim) + ",unplug_after=3", "-t", "600"});
    EXPECT_TRUE(one_line_error(run, "the capture ended: NIVEX_ERR_CAP_UNKNOWN"));
    const std::vector<std::string> lines = lines_of(run.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(contains(lines.back(), "last error NIVEX_ERR_CAP_UNKNOWN (-10) at ")) << run.out;
}

TEST_F(ToolHealth, InterruptEndsTheWatchCleanly) {
    ToolRun run = nivex_on_terminal({"health", "--sim", "-t", "600"}, " delivered");
    EXPECT_EQ(run.status, 0) << run.out;
}

TEST_F(ToolHealth, BadArgumentsAreNamed) {
    EXPECT_TRUE(one_line_error(nivex({"health", "--sim", "-t", "-1"}), "--duration"));
    EXPECT_TRUE(one_line_error(nivex({"health", "--sim", "--buffer", "1"}), "--buffer"));
}

TEST_F(ToolHealth, CaptureSummaryShowsTheHealthCounters) {
    ToolRun run = nivex({"capture", "--sim", "-n", "3", "-o", "out"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "health: 3 delivered, 0 overflowed, 0 bad checksum, 0 broken\n"))
        << run.out;
    EXPECT_TRUE(contains(run.out, "link: high speed, ")) << run.out;
    EXPECT_TRUE(contains(run.out, "transfers: 0 timeouts, 0 stalls, 0 errors\n")) << run.out;
    EXPECT_TRUE(contains(run.out, "buffer: ")) << run.out;
    EXPECT_TRUE(contains(run.out, "last error: none\n")) << run.out;

    ToolRun stalled = nivex({"capture", std::string(kTiSim) + ",stall=1", "-n", "3", "-o", "out"});
    ASSERT_EQ(stalled.status, 0) << stalled.err;
    EXPECT_TRUE(contains(stalled.out, "transfers: 0 timeouts, 1 stalls, 0 errors\n"))
        << stalled.out;
    EXPECT_TRUE(contains(stalled.out, "last error: NIVEX_ERR_CAP_STALL (-7) at ")) << stalled.out;
}

}  // namespace
}  // namespace tooltest
