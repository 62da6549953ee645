// CWorkerThread: a thread that its owner waits for with a bound.
//
// Stopping is cooperative everywhere in the driver, but a thread can still be held where no stop
// request reaches it: inside a call into the host (a sink that blocks in OnFrame, a callback that
// never returns) or inside a host-name lookup. The owner therefore waits at most a bound
// (WaitFor). When the bound passes the thread is let go: it is detached and runs on until it
// returns by itself. From then on it must own everything it still uses, and it must not call the
// host any more (see CHostGate); the owner hands it the deletion of the object it runs on with
// AtEnd. Letting a thread go also pins the driver's module, so that a host that unloads the
// module after deleting the driver cannot pull the code from under the thread.
//
// Threads: Start, WaitFor, Detach and AtEnd are called by the owner (one thread at a time, never
// the worker itself except AtEnd and Detach); IsCurrent and LetGoCount from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace talvane::thread {

class CWorkerThread {
public:
    CWorkerThread();
    // A thread that still runs here must have been let go or detached; otherwise it is joined.
    ~CWorkerThread();
    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Runs `body` on a new thread. False when the thread cannot be created or one is still held
    // (neither joined nor let go). An exception escaping `body` is swallowed.
    bool Start(std::function<void()> body);
    // A thread was started and has been neither joined nor let go.
    bool HasThread() const { return thread_.joinable(); }
    // True when the calling thread is the thread last started here.
    bool IsCurrent() const;

    // Waits up to `timeoutMs` for the thread to end, then joins it: true (also when there is no
    // thread). False when it still runs: it has been let go and the module is pinned. Must not be
    // called on the thread itself.
    bool WaitFor(uint32_t timeoutMs);
    // Forgets the thread without waiting (used on the thread itself, which then ends by itself).
    void Detach();
    // Waits without a bound until the thread last started has ended, also after it was let go.
    // Only for owners that cannot let the thread keep their object (destructors of objects that
    // were not discarded). Must not be called on the thread itself.
    void WaitEnded();
    // Waits up to `timeoutMs` for the thread last started to end, without joining it or letting it
    // go; true when it has ended (or none was started).
    bool WaitEnded(uint32_t timeoutMs) const;

    // Runs `action` once the thread last started has ended: at once on the calling thread when
    // it has (or none was started), otherwise on that thread right after its body returned. Used
    // to hand a let-go thread the deletion of its object.
    void AtEnd(std::function<void()> action);

    // Threads let go (by any CWorkerThread of this module) that have not ended yet.
    static uint32_t LetGoCount();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace talvane::thread
