// Console: the host's terminal output. One object per run, shared by the main thread and the
// driver's threads (log records arrive on channel and PTZ threads), so every call is serialised.
//
// A status line is one line that is rewritten in place on a terminal; every other line printed
// while a status line is shown first clears it and then draws it again below the new line, so log
// records and the status never mix. Where standard output is not a terminal the status is either
// left out or printed as ordinary lines, as the caller chooses.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace zarnhost {

class Console {
public:
    enum class StatusMode {
        kOff,       // status updates are dropped
        kTerminal,  // one line rewritten in place
        kLines,     // each update printed as a line of its own
    };

    explicit Console(std::FILE* out = stdout);

    // Terminal when the output is one, otherwise `otherwise`.
    void ChooseStatusMode(StatusMode otherwise);
    void SetStatusMode(StatusMode mode);
    StatusMode GetStatusMode() const;

    // Prints one line (no trailing newline needed).
    void Print(const std::string& line);
    // Replaces the status line.
    void Status(const std::string& status);
    // Leaves the status line on the screen as an ordinary line and forgets it.
    void EndStatus();

    // A whole screen that is redrawn (a table): on a terminal (status mode kTerminal) drawn over
    // the previous one on the terminal's alternate screen, as full-screen programs do, so that
    // redraws never reach the scrollback; each line is cut to the terminal's width and the lines
    // that do not fit its height are left out. Otherwise the lines are printed, then an empty line.
    void Screen(const std::vector<std::string>& lines);
    // Leaves the alternate screen (the terminal shows what it showed before the first Screen).
    void EndScreen();

    // True when colours and other escape sequences may be written: a terminal in kTerminal mode.
    bool Colours() const;
    // `text` in a colour (an SGR code such as "32" for green) when Colours(), else as it is.
    std::string Colour(const std::string& text, const char* sgr) const;

    // Overrides the terminal size read from the output (tests; 0 keeps the real one).
    void SetTerminalSize(size_t columns, size_t rows);

    static bool IsTerminal(std::FILE* stream);
    // The first `columns` visible characters of `line`; escape sequences are kept whole and take
    // no room, and a cut line ends with a colour reset.
    static std::string CutVisible(const std::string& line, size_t columns);

private:
    void ClearLocked();
    void DrawLocked();

    std::FILE* out_;
    mutable std::mutex mutex_;
    StatusMode mode_ = StatusMode::kOff;
    std::string status_;
    bool shown_ = false;
    bool screenShown_ = false;
    size_t columns_ = 0;
    size_t rows_ = 0;
};

// Prints the one JSON object a failed `--json` command ends with: {"ok": false, "error": ...,
// "camera": ...}, so that scripts read "ok" first whatever the command.
void PrintJsonFailure(Console& console, const std::string& error, const std::string& camera);

}  // namespace zarnhost
