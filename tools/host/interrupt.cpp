#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace zarnhost {

namespace {
std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnSignal(int signal) {
    gInterrupted.store(true);
    std::signal(signal, SIG_DFL);
}
}  // namespace

void InstallInterruptHandler() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

bool Interrupted() {
    return gInterrupted.load();
}

}  // namespace zarnhost
