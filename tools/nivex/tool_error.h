// The one exception the tool's commands throw: a message for the user, printed
// as one line "nivex: <message>", and the process's exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace nivex_tool {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

class ToolError : public std::runtime_error {
  public:
    explicit ToolError(const std::string &message, int exit_status = kExitFailure)
        : std::runtime_error(message), exit_status_(exit_status) {}
    int exit_status() const { return exit_status_; }

  private:
    int exit_status_;
};

// A value the user typed that the command cannot use.
inline ToolError usage_error(const std::string &message) {
    return ToolError(message, kExitUsage);
}

}  // namespace nivex_tool
