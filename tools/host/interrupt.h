// Ctrl-C (SIGINT), SIGTERM and SIGHUP (a closed terminal or ssh session) handling: the first
// signal only sets a flag that the running command polls, so the channel is stopped, the
// recording finished and the driver closed cleanly; a second signal ends the program at once.
#pragma once

namespace zarnhost {

void InstallInterruptHandler();
bool Interrupted();

// Bytes written to standard output when a second signal ends the program at once (for example
// the escape sequence that leaves the terminal's alternate screen). The text must outlive the
// program's run; null writes nothing.
void SetTerminalRestore(const char* text);

}  // namespace zarnhost
