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
    // the previous one from the top left, each line cut to the terminal's width; otherwise the
    // lines are printed, then an empty line.
    void Screen(const std::vector<std::string>& lines);

    static bool IsTerminal(std::FILE* stream);

private:
    void ClearLocked();
    void DrawLocked();

    std::FILE* out_;
    mutable std::mutex mutex_;
    StatusMode mode_ = StatusMode::kOff;
    std::string status_;
    bool shown_ = false;
    bool screenShown_ = false;
};

}  // namespace zarnhost
