#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace zarnhost {

namespace {
std::atomic<bool> gInterrupted{false};
std::atomic<const char*> gRestore{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<const char*>::is_always_lock_free);

void OnSignal(int signal) {
    if (gInterrupted.exchange(true)) {
        // The second signal: put the terminal back and end with the signal's default action.
        if (const char* restore = gRestore.load(); restore != nullptr) {
#ifdef _WIN32
            const int written = _write(1, restore, static_cast<unsigned>(std::strlen(restore)));
#else
            const ssize_t written = write(1, restore, std::strlen(restore));
#endif
            (void)written;
        }
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    // Some systems reset the handler before calling it.
    std::signal(signal, OnSignal);
}
}  // namespace

void InstallInterruptHandler() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#ifdef SIGHUP
    std::signal(SIGHUP, OnSignal);
#endif
}

bool Interrupted() {
    return gInterrupted.load();
}

void SetTerminalRestore(const char* text) {
    gRestore.store(text);
}

}  // namespace zarnhost
