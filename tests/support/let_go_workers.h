// Waiting for the worker threads that a bounded stop let go (they end once their blocking call
// returns), so that a test can check nothing of the driver runs any more.
#pragma once

#include <chrono>
#include <thread>

#include "thread/worker_thread.h"

namespace zarntest {

// True once no let-go worker is left; false when some are still running after `limit`.
inline bool WaitForLetGoWorkersToEnd(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (talvane::thread::CWorkerThread::LetGoCount() != 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace zarntest
