#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace nivex_tool {

StatusLine::StatusLine() : terminal_(isatty(STDERR_FILENO) == 1) {}

void StatusLine::show(const std::string &text) {
    if (!terminal_) return;
    std::string padded = text;
    if (padded.size() < shown_) padded.append(shown_ - padded.size(), ' ');
    std::fprintf(stderr, "\r%s", padded.c_str());
    std::fflush(stderr);
    shown_ = text.size();
}

void StatusLine::clear() {
    if (!terminal_ || shown_ == 0) return;
    std::fprintf(stderr, "\r%s\r", std::string(shown_, ' ').c_str());
    std::fflush(stderr);
    shown_ = 0;
}

void ProgressBar::update(uint64_t done, uint64_t total) {
    constexpr int kWidth = 30;
    int permille = total == 0 ? 1000 : static_cast<int>(done * 1000 / total);
    if (permille == last_permille_) return;
    last_permille_ = permille;
    int filled = permille * kWidth / 1000;
    char text[160];
    std::snprintf(text, sizeof text, "%s [%s%s] %3d%%  %llu/%llu %s", label_.c_str(),
                  std::string(static_cast<size_t>(filled), '#').c_str(),
                  std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), permille / 10,
                  static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                  unit_.c_str());
    line_.show(text);
}

}  // namespace nivex_tool
