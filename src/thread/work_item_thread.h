// CWorkItemThreadEx: a thread that executes work items one at a time, in posting order, from a
// queue any thread may post to, with an optional limit on how many items may wait.
//
// Items belong to the queue from the moment they are posted: the queue deletes them after they ran,
// when they are dropped by the pending limit or by a stop, and when posting is refused.
// PostItem, ClearQueue and StopThread may be called from any thread; ProcessItem runs on the
// work-item thread without the queue lock, so posting never waits for an item in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "platform/platform.h"
#include "thread/recursive_lock.h"
#include "thread/simple_thread.h"

namespace talvane {

class CWorkItemThreadEx : public thread::CSimpleThread {
public:
    class IWorkItem {
    public:
        virtual ~IWorkItem() = default;
    };

    CWorkItemThreadEx();
    // Stops the thread when it still runs. A derived class whose ProcessItem uses its own members
    // must call StopThread in its own destructor first.
    ~CWorkItemThreadEx() override;

    int Run() override;

    // Deletes every waiting item without running it.
    virtual void ClearQueue();
    // Executes one item on the work-item thread. Exceptions are swallowed by the queue loop.
    virtual void ProcessItem(IWorkItem* item) = 0;
    // Marks the queue running and starts the thread; false when a thread already exists (the
    // queue still counts as running) or the thread could not be created.
    virtual bool StartThread(const std::string& name);
    // Stops accepting items, drops the waiting ones, lets the item in progress finish and waits for
    // the thread (unless called on the thread itself), at most the stop bound. A thread that
    // outlasts it is let go (ThreadLetGo). Always true.
    virtual bool StopThread();
    // Queues the item; maxPending > 0 first drops the oldest waiting items so that at most
    // maxPending - 1 wait before it. False (item deleted) when the queue is not running or is
    // being drained.
    virtual bool PostItem(IWorkItem* item, uint32_t maxPending);
    // The last work before a stop: refuses new items, deletes the waiting ones `keep` rejects,
    // lets the thread run the others (after the item in progress) and waits up to `timeoutMs` for
    // it to run out of items and end. True when it has ended. StopThread follows in any case (it
    // joins the thread and drops what is left). Not on the thread itself.
    bool DrainThread(const std::function<bool(const IWorkItem&)>& keep, uint32_t timeoutMs);

    bool IsRunning() const { return running_.load(); }
    size_t PendingCount();

    // How long StopThread waits for the thread; platform::kInfinite (the default) for no bound.
    void SetStopBound(uint32_t ms) { stopBoundMs_.store(ms); }
    // True when the last StopThread had to let the thread go; it then ends by itself after its
    // item in progress, and must own what that item uses (see AtEnd).
    bool ThreadLetGo() const { return letGo_.load(); }

    // Idle wake-up period of the thread.
    static constexpr uint32_t kIdleWaitMs = 1000;

protected:
    // For destructors: StopThread, and when the thread had to be let go, wait until it has ended
    // (unless called on the thread itself), so that it never runs on a half-destroyed object.
    void EndThread();

private:
    IWorkItem* PopFront();

    platform::Event workEvent_{/*manualReset=*/false};
    std::atomic<bool> running_{false};
    std::atomic<bool> draining_{false};  // the thread ends once the queue is empty
    std::atomic<uint32_t> stopBoundMs_{platform::kInfinite};
    std::atomic<bool> letGo_{false};
    CRecursiveLock queueLock_;
    std::list<IWorkItem*> queue_;
};

}  // namespace talvane
