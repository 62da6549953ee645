#include "thread/work_item_thread.h"

namespace talvane {

CWorkItemThreadEx::CWorkItemThreadEx() = default;

CWorkItemThreadEx::~CWorkItemThreadEx() {
    if (running_.load()) StopThread();
    if (letGo_.load() && ThreadId() != platform::CurrentThreadId()) Join();
    // Items posted after a failed start, or left by a stop racing a post.
    ClearQueue();
}

CWorkItemThreadEx::IWorkItem* CWorkItemThreadEx::PopFront() {
    CLockGuard guard(queueLock_);
    if (queue_.empty()) return nullptr;
    IWorkItem* item = queue_.front();
    queue_.pop_front();
    return item;
}

size_t CWorkItemThreadEx::PendingCount() {
    CLockGuard guard(queueLock_);
    return queue_.size();
}

int CWorkItemThreadEx::Run() {
    while (running_.load()) {
        if (!draining_.load() && !workEvent_.Wait(kIdleWaitMs)) continue;
        while (IWorkItem* item = PopFront()) {
            try {
                ProcessItem(item);
            } catch (...) {
                // One bad item must not end the thread.
            }
            delete item;
            if (!running_.load()) return 0;
        }
        if (draining_.load()) return 0;
    }
    return 0;
}

void CWorkItemThreadEx::ClearQueue() {
    while (IWorkItem* item = PopFront()) delete item;
}

bool CWorkItemThreadEx::StartThread(const std::string& name) {
    running_.store(true);
    draining_.store(false);
    // A thread that was let go still runs this object's loop: never start a second one.
    if (HasThread() || letGo_.load()) return false;
    return Launch(name);
}

bool CWorkItemThreadEx::StopThread() {
    running_.store(false);
    ClearQueue();
    workEvent_.Set();
    if (HasThread()) {
        if (ThreadId() == platform::CurrentThreadId()) {
            Detach();  // called from ProcessItem: the thread ends after the item returns
        } else if (!Join(stopBoundMs_.load())) {
            letGo_.store(true);
        }
    }
    return true;
}

void CWorkItemThreadEx::EndThread() {
    if (running_.load()) StopThread();
    if (letGo_.load() && ThreadId() != platform::CurrentThreadId()) Join();
}

bool CWorkItemThreadEx::DrainThread(const std::function<bool(const IWorkItem&)>& keep,
                                    uint32_t timeoutMs) {
    {
        // Under the queue lock, so that no post slips in after the waiting items were sorted.
        CLockGuard guard(queueLock_);
        draining_.store(true);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (*it != nullptr && keep(**it)) {
                ++it;
            } else {
                delete *it;
                it = queue_.erase(it);
            }
        }
    }
    workEvent_.Set();
    if (!HasThread()) return true;
    return WaitForEnd(timeoutMs);
}

bool CWorkItemThreadEx::PostItem(IWorkItem* item, uint32_t maxPending) {
    if (!running_.load()) {
        delete item;
        return false;
    }
    CLockGuard guard(queueLock_);
    if (draining_.load()) {
        delete item;
        return false;
    }
    if (maxPending > 0) {
        while (queue_.size() >= maxPending) {
            delete queue_.front();
            queue_.pop_front();
        }
    }
    queue_.push_back(item);
    workEvent_.Set();
    return true;
}

}  // namespace talvane
