// Ctrl-C (SIGINT) and SIGTERM handling: the first signal only sets a flag that the running command
// polls, so the channel is stopped and the driver closed cleanly; a second signal ends the program
// at once with the default action.
#pragma once

namespace zarnhost {

void InstallInterruptHandler();
bool Interrupted();

}  // namespace zarnhost
