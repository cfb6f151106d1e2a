#include "tool_runner.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>

#include "nivex.h"

extern char **environ;

namespace tooltest {
namespace fs = std::filesystem;

void ToolTest::SetUp() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / ("nivex_tool_" + std::string(info->test_suite_name()) + "_" +
                                        info->name() + "_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
}

void ToolTest::TearDown() {
    if (!HasFailure()) fs::remove_all(dir_);
}

namespace {

// The test's environment without what would steer the tool elsewhere.
std::vector<std::string> child_environment(const fs::path &dir) {
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string item = *entry;
        for (const char *name : {"LD_PRELOAD=", "NIVEX_SIM=", "NIVEX_TOOL_SIMULATED=",
                                 "XDG_CACHE_HOME=", "ASAN_OPTIONS="})
            if (item.rfind(name, 0) == 0) item.clear();
        if (!item.empty()) env.push_back(item);
    }
    env.push_back("XDG_CACHE_HOME=" + (dir / "cache").string());
    // The simulator is preloaded in front of the sanitizer runtime.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> out;
    for (std::string &text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    std::vector<char *> argv_ptrs;
    std::vector<char *> env_ptrs;

    Command(const std::vector<std::string> &args, const fs::path &dir)
        : argv{NIVEX_TOOL_PATH}, env(child_environment(dir)) {
        argv.insert(argv.end(), args.begin(), args.end());
        argv_ptrs = pointers(argv);
        env_ptrs = pointers(env);
    }
    [[noreturn]] void exec_in(const fs::path &dir) {
        if (chdir(dir.c_str()) == 0) execve(argv_ptrs[0], argv_ptrs.data(), env_ptrs.data());
        _exit(127);
    }
};

int exit_status_of(pid_t pid) {
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) return WEXITSTATUS(status);
    return -1;
}

}  // namespace

ToolRun ToolTest::nivex(const std::vector<std::string> &args) {
    Command command(args, dir_);
    const fs::path out = dir_ / ".stdout", err = dir_ / ".stderr";
    pid_t pid = fork();
    if (pid == 0) {
        int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || err_fd < 0) _exit(127);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        command.exec_in(dir_);
    }
    ToolRun run;
    run.status = exit_status_of(pid);
    run.out = read_file(out);
    run.err = read_file(err);
    fs::remove(out);
    fs::remove(err);
    return run;
}

ToolRun ToolTest::nivex_on_terminal(const std::vector<std::string> &args,
                                    const std::string &interrupt_cue) {
    Command command(args, dir_);
    std::string cue = interrupt_cue;  // cleared once the interrupt is sent
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid == 0) command.exec_in(dir_);
    ToolRun run;
    char buffer[4096];
    for (;;) {
        ssize_t n = pid > 0 ? read(terminal, buffer, sizeof buffer) : 0;
        if (n > 0) {
            run.out.append(buffer, static_cast<size_t>(n));
            if (!cue.empty() && run.out.find(cue) != std::string::npos) {
                kill(pid, SIGINT);
                cue.clear();
            }
        } else if (n < 0 && errno == EINTR)
            continue;
        else
            break;  // EIO: the tool closed the terminal
    }
    run.status = exit_status_of(pid);
    if (terminal >= 0) close(terminal);
    return run;
}

std::vector<std::string> ToolTest::hidden_files(const fs::path &folder) const {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name[0] == '.' && name != ".stdout" && name != ".stderr") names.push_back(name);
    }
    return names;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path &path, const std::string &content) {
    std::ofstream(path, std::ios::binary) << content;
}

::testing::AssertionResult one_line_error(const ToolRun &run, const std::string &expected) {
    if (run.status <= 0)
        return ::testing::AssertionFailure() << "exit status " << run.status << ", stderr:\n"
                                             << run.err;
    bool one_line = !run.err.empty() && run.err.find('\n') == run.err.size() - 1;
    if (!one_line || run.err.find(expected) == std::string::npos)
        return ::testing::AssertionFailure() << "want one line naming '" << expected << "', got:\n"
                                             << run.err;
    return ::testing::AssertionSuccess();
}

void LibraryToolTest::SetUp() {
    ToolTest::SetUp();
    nivex_init(path("test.log").c_str());
    nivex_log_cfg(NX_LOG_OFF, NX_LOG_OFF, NX_LOG_OFF);
}

void LibraryToolTest::TearDown() {
    nivex_uninit();
    ToolTest::TearDown();
}

}  // namespace tooltest
