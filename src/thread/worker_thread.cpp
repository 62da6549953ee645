#include "thread/worker_thread.h"

#include <atomic>
#include <mutex>
#include <system_error>

#include "platform/platform.h"

namespace talvane::thread {

namespace {
std::atomic<uint32_t> gLetGo{0};
}  // namespace

// Shared by the owner and the thread, so that either may outlive the other.
struct CWorkerThread::State {
    std::mutex mutex;
    bool ended = false;           // guarded by mutex
    bool letGo = false;           // guarded by mutex
    std::function<void()> atEnd;  // guarded by mutex
    platform::Event endedEvent{/*manualReset=*/true};
    std::atomic<uint32_t> threadId{0};
};

CWorkerThread::CWorkerThread() = default;

CWorkerThread::~CWorkerThread() {
    if (!thread_.joinable()) return;
    if (IsCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool CWorkerThread::IsCurrent() const {
    return state_ != nullptr && state_->threadId.load() == platform::CurrentThreadId();
}

bool CWorkerThread::Start(std::function<void()> body) {
    if (thread_.joinable()) return false;
    auto state = std::make_shared<State>();
    try {
        thread_ = std::thread([state, body = std::move(body)] {
            state->threadId.store(platform::CurrentThreadId());
            try {
                body();
            } catch (...) {
                // The body's owner logs what it can; a thread must never end the process.
            }
            std::function<void()> action;
            bool letGo = false;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->ended = true;
                letGo = state->letGo;
                action = std::move(state->atEnd);
            }
            state->endedEvent.Set();
            if (action) {
                try {
                    action();
                } catch (...) {
                }
            }
            if (letGo) gLetGo.fetch_sub(1);
        });
    } catch (const std::system_error&) {
        return false;
    }
    state_ = std::move(state);
    return true;
}

bool CWorkerThread::WaitFor(uint32_t timeoutMs) {
    if (!thread_.joinable()) return true;
    if (!state_->endedEvent.Wait(timeoutMs)) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->ended) {
            state_->letGo = true;
            gLetGo.fetch_add(1);
            thread_.detach();
        }
    }
    if (thread_.joinable()) {
        thread_.join();
        return true;
    }
    platform::PinModule();
    return false;
}

void CWorkerThread::WaitEnded() {
    if (state_ == nullptr) return;
    state_->endedEvent.Wait(platform::kInfinite);
    if (thread_.joinable()) thread_.join();
}

bool CWorkerThread::WaitEnded(uint32_t timeoutMs) const {
    return state_ == nullptr || state_->endedEvent.Wait(timeoutMs);
}

void CWorkerThread::Detach() {
    if (thread_.joinable()) thread_.detach();
}

void CWorkerThread::AtEnd(std::function<void()> action) {
    if (state_ != nullptr) {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (!state_->ended) {
            // The action may destroy this object: the thread must not be joinable any more.
            if (thread_.joinable()) thread_.detach();
            state_->atEnd = std::move(action);
            return;
        }
    }
    if (thread_.joinable() && !IsCurrent()) thread_.join();
    action();
}

uint32_t CWorkerThread::LetGoCount() {
    return gLetGo.load();
}

}  // namespace talvane::thread
