// CRecursiveLock: a recursive mutual-exclusion lock for the threads of one process. It first spins
// on an atomic word and only then blocks on an auto-reset event, so the driver's short critical
// sections are usually taken without a kernel call. Use it through CLockGuard.
//
// Any thread may use any lock. The lock must be free when it is destroyed; Leave is only called by
// the owner, once per successful Enter or TryEnter.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace talvane {

class CRecursiveLock {
public:
    CRecursiveLock();
    ~CRecursiveLock();
    CRecursiveLock(const CRecursiveLock&) = delete;
    CRecursiveLock& operator=(const CRecursiveLock&) = delete;

    void Enter();
    // Acquires by spinning only: spin count + 1 attempts.
    bool TryEnter();
    void Leave();

    // Extra acquisition attempts before blocking: 4000 with several processors, 0 with one.
    uint32_t SpinCount() const { return state_->spinCount.load(std::memory_order_relaxed); }
    // Acquisitions held plus threads waiting; 0 when free. For tests and diagnostics.
    int32_t LockCount() const { return state_->lockCount.load(std::memory_order_acquire); }

    // Overrides the process-wide processor flag for locks constructed afterwards (tests);
    // -1 restores detection.
    static void SetSingleProcessorForTesting(int value);

private:
    struct State {
        std::atomic<uint32_t> spinCount{0};
        std::atomic<int32_t> lockCount{0};
        std::atomic<uint32_t> owner{0};
        uint32_t recursion = 0;  // touched only by the owner
    };

    platform::Event event_;
    std::unique_ptr<State> state_;
};

// Scoped holder: enters in the constructor, leaves in the destructor (also during unwinding).
class CLockGuard {
public:
    explicit CLockGuard(CRecursiveLock& lock) : lock_(&lock) { lock_->Enter(); }
    ~CLockGuard() { lock_->Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CRecursiveLock* lock_;
};

}  // namespace talvane
