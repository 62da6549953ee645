#include "thread/recursive_lock.h"

namespace talvane {

namespace {
// -1 unknown, 0 several processors, 1 a single processor. Set once by the first lock.
std::atomic<int> gSingleProcessor{-1};
}  // namespace

void CRecursiveLock::SetSingleProcessorForTesting(int value) { gSingleProcessor.store(value); }

CRecursiveLock::CRecursiveLock() : event_(/*manualReset=*/false), state_(std::make_unique<State>()) {
    int single = gSingleProcessor.load();
    if (single < 0) {
        int detected = platform::ProcessorCount() == 1 ? 1 : 0;
        if (gSingleProcessor.compare_exchange_strong(single, detected)) {
            single = detected;
        }
    }
    if (single == 0) state_->spinCount.store(4000);
}

CRecursiveLock::~CRecursiveLock() = default;

bool CRecursiveLock::TryEnter() {
    const uint32_t me = platform::CurrentThreadId();
    const uint32_t attempts = state_->spinCount.load(std::memory_order_relaxed) + 1;
    for (uint32_t i = 0; i < attempts; ++i) {
        int32_t expected = 0;
        if (state_->lockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            state_->owner.store(me, std::memory_order_relaxed);
            state_->recursion = 1;
            return true;
        }
        if (state_->owner.load(std::memory_order_relaxed) == me) {
            state_->lockCount.fetch_add(1, std::memory_order_relaxed);
            ++state_->recursion;
            return true;
        }
    }
    return false;
}

void CRecursiveLock::Enter() {
    if (TryEnter()) return;
    const uint32_t me = platform::CurrentThreadId();
    const int32_t c = state_->lockCount.fetch_add(1, std::memory_order_acquire) + 1;
    if (c == 1) {
        // The lock became free between spinning and counting ourselves in.
        state_->owner.store(me, std::memory_order_relaxed);
        state_->recursion = 1;
    } else if (state_->owner.load(std::memory_order_relaxed) == me) {
        ++state_->recursion;
    } else {
        event_.Wait(platform::kInfinite);
        state_->owner.store(me, std::memory_order_relaxed);
        state_->recursion = 1;
    }
}

void CRecursiveLock::Leave() {
    if (--state_->recursion > 0) {
        state_->lockCount.fetch_sub(1, std::memory_order_release);
        return;
    }
    state_->owner.store(0, std::memory_order_relaxed);
    if (state_->lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
        // A thread counted itself in and waits (or is about to): wake exactly one.
        event_.Set();
    }
}

}  // namespace talvane
