#include "console.h"

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

}  // namespace zarnhost
