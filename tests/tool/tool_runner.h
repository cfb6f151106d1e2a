// Runs the nivex tool as a process in a scratch folder of the test, with its
// own cache folder, and collects its exit status and output.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    ToolRun nivex(const std::vector<std::string> &args);
    // The same with standard output and error on a terminal (out holds both);
    // once the output shows `interrupt_cue` (when given) the tool gets SIGINT.
    ToolRun nivex_on_terminal(const std::vector<std::string> &args,
                              const std::string &interrupt_cue = "");
    std::filesystem::path path(const std::string &name) const { return dir_ / name; }
    // Files in `folder` whose names start with '.' (what a failed write would leave).
    std::vector<std::string> hidden_files(const std::filesystem::path &folder) const;

    std::filesystem::path dir_;
};

// A ToolTest whose own process has the library started too (log silenced),
// to compare what the tool wrote with the library's own results.
class LibraryToolTest : public ToolTest {
  protected:
    void SetUp() override;
    void TearDown() override;
};

std::string read_file(const std::filesystem::path &path);
void write_file(const std::filesystem::path &path, const std::string &content);

// An error is one line "nivex: ..." on standard error and a failed status.
::testing::AssertionResult one_line_error(const ToolRun &run, const std::string &expected);

}  // namespace tooltest
