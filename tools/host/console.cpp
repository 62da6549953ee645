#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace zarnhost {

Console::Console(std::FILE* out) : out_(out) {}

bool Console::IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) == 1;
}

void Console::ChooseStatusMode(StatusMode otherwise) {
    SetStatusMode(IsTerminal(out_) ? StatusMode::kTerminal : otherwise);
}

void Console::SetStatusMode(StatusMode mode) {
    std::lock_guard<std::mutex> lock(mutex_);
    mode_ = mode;
}

Console::StatusMode Console::GetStatusMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

void Console::ClearLocked() {
    if (shown_) {
        std::fputs("\r\033[K", out_);
        shown_ = false;
    }
}

void Console::DrawLocked() {
    if (mode_ == StatusMode::kTerminal && !status_.empty()) {
        std::fputs(status_.c_str(), out_);
        shown_ = true;
    }
    std::fflush(out_);
}

void Console::Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    DrawLocked();
}

void Console::Status(const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (mode_) {
        case StatusMode::kOff:
            return;
        case StatusMode::kLines:
            std::fputs(status.c_str(), out_);
            std::fputc('\n', out_);
            std::fflush(out_);
            return;
        case StatusMode::kTerminal:
            ClearLocked();
            status_ = status;
            DrawLocked();
            return;
    }
}

void Console::EndStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shown_) {
        std::fputc('\n', out_);
        shown_ = false;
    }
    status_.clear();
    std::fflush(out_);
}

void Console::Screen(const std::vector<std::string>& lines) {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
    if (mode_ != StatusMode::kTerminal) {
        for (const auto& line : lines) {
            std::fputs(line.c_str(), out_);
            std::fputc('\n', out_);
        }
        std::fputc('\n', out_);
        std::fflush(out_);
        return;
    }
    winsize size{};
    const size_t columns = ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0
                               ? size.ws_col
                               : std::string::npos;
    // Home, then every line over the old one, then clear whatever the old screen had below.
    std::fputs(screenShown_ ? "\033[H" : "\033[H\033[2J", out_);
    for (const auto& line : lines) {
        std::fputs(line.substr(0, columns).c_str(), out_);
        std::fputs("\033[K\n", out_);
    }
    std::fputs("\033[J", out_);
    screenShown_ = true;
    std::fflush(out_);
}

}  // namespace zarnhost
