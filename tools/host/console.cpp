#include "console.h"

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "interrupt.h"

namespace zarnhost {

Console::Console(std::FILE* out) : out_(out) {}

namespace {

#ifdef _WIN32
HANDLE ConsoleHandle(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}
#endif

// The terminal's size in columns and rows; false when the stream is no terminal.
bool TerminalSize(std::FILE* stream, size_t* columns, size_t* rows) {
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(ConsoleHandle(stream), &info)) return false;
    *columns = static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    *rows = static_cast<size_t>(info.srWindow.Bottom - info.srWindow.Top + 1);
    return true;
#else
    winsize size{};
    if (ioctl(fileno(stream), TIOCGWINSZ, &size) != 0) return false;
    *columns = size.ws_col;
    *rows = size.ws_row;
    return true;
#endif
}

}  // namespace

bool Console::IsTerminal(std::FILE* stream) {
#ifdef _WIN32
    if (_isatty(_fileno(stream)) == 0) return false;
    // Escape sequences need the console's terminal processing (Windows 10 and later).
    DWORD mode = 0;
    const HANDLE handle = ConsoleHandle(stream);
    return GetConsoleMode(handle, &mode) &&
           ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
            SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING));
#else
    return isatty(fileno(stream)) == 1;
#endif
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

namespace {
constexpr const char* kEnterAlternateScreen = "\033[?1049h\033[?25l";
constexpr const char* kLeaveAlternateScreen = "\033[?25h\033[?1049l";
}  // namespace

void Console::SetTerminalSize(size_t columns, size_t rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    columns_ = columns;
    rows_ = rows;
}

bool Console::Colours() const {
    return GetStatusMode() == StatusMode::kTerminal;
}

std::string Console::Colour(const std::string& text, const char* sgr) const {
    if (!Colours()) return text;
    return "\033[" + std::string(sgr) + "m" + text + "\033[0m";
}

std::string Console::CutVisible(const std::string& line, size_t columns) {
    std::string out;
    size_t visible = 0;
    bool escapes = false;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == '\033' && i + 1 < line.size() && line[i + 1] == '[') {
            size_t end = i + 2;
            while (end < line.size() && (line[end] < 0x40 || line[end] > 0x7e)) ++end;
            out.append(line, i, end + 1 - i);
            escapes = true;
            i = end + 1;
            continue;
        }
        if (visible == columns) {
            if (escapes) out += "\033[0m";
            return out;
        }
        // A UTF-8 sequence is one character.
        size_t length = 1;
        const auto lead = static_cast<unsigned char>(line[i]);
        if (lead >= 0xf0) {
            length = 4;
        } else if (lead >= 0xe0) {
            length = 3;
        } else if (lead >= 0xc0) {
            length = 2;
        }
        out.append(line, i, length);
        i += length;
        ++visible;
    }
    return out;
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
    size_t columns = columns_;
    size_t rows = rows_;
    size_t realColumns = 0;
    size_t realRows = 0;
    if (TerminalSize(out_, &realColumns, &realRows)) {
        if (columns == 0) columns = realColumns;
        if (rows == 0) rows = realRows;
    }
    if (columns == 0) columns = std::string::npos;
    if (rows == 0) rows = std::string::npos;
    // The alternate screen on the first draw; then home, every line over the old one (never more
    // lines than the screen has, which would scroll), and clear whatever the old screen had below.
    if (!screenShown_) {
        std::fputs(kEnterAlternateScreen, out_);
        // A second Ctrl-C ends the program at once: it must not leave the terminal behind.
        SetTerminalRestore(kLeaveAlternateScreen);
    }
    std::fputs("\033[H", out_);
    for (size_t i = 0; i < lines.size() && i < rows; ++i) {
        if (i != 0) std::fputc('\n', out_);
        std::fputs(CutVisible(lines[i], columns).c_str(), out_);
        std::fputs("\033[K", out_);
    }
    std::fputs("\033[J", out_);
    screenShown_ = true;
    std::fflush(out_);
}

void Console::EndScreen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!screenShown_) return;
    std::fputs(kLeaveAlternateScreen, out_);
    SetTerminalRestore(nullptr);
    screenShown_ = false;
    std::fflush(out_);
}

void PrintJsonFailure(Console& console, const std::string& error, const std::string& camera) {
    nlohmann::ordered_json j;
    j["ok"] = false;
    j["error"] = error;
    j["camera"] = camera;
    console.Print(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace zarnhost
