// Progress shown on the terminal: one line on standard error, redrawn in
// place. When standard error is not a terminal nothing is drawn, so logs and
// pipes get only the final summaries.
#pragma once

#include <cstdint>
#include <string>

namespace nivex_tool {

class StatusLine {
  public:
    StatusLine();
    ~StatusLine() { clear(); }
    StatusLine(const StatusLine &) = delete;
    StatusLine &operator=(const StatusLine &) = delete;

    void show(const std::string &text);
    // Removes the line, so that the next output starts on a clean line.
    void clear();

  private:
    bool terminal_;
    size_t shown_ = 0;
};

// "label [#####.....]  45%  12345/27000 bytes"
class ProgressBar {
  public:
    explicit ProgressBar(std::string label, std::string unit = "bytes")
        : label_(std::move(label)), unit_(std::move(unit)) {}
    void update(uint64_t done, uint64_t total);
    // A new label, shown from the next update on.
    void relabel(std::string label) {
        label_ = std::move(label);
        last_permille_ = -1;
    }

  private:
    std::string label_;
    std::string unit_;
    StatusLine line_;
    int last_permille_ = -1;
};

}  // namespace nivex_tool
