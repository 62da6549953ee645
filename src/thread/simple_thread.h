// CSimpleThread: a named thread whose body is the virtual Run. The derived class decides how Run
// ends; Join waits for it, with a bound when the owner gives one. A thread that outlasts the bound
// is let go (see CWorkerThread): it then owns the object it runs on, which its owner hands over
// with AtEnd. The name is kept for identification only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/platform.h"
#include "thread/worker_thread.h"

namespace talvane::thread {

class CSimpleThread {
public:
    CSimpleThread() = default;
    virtual ~CSimpleThread();
    CSimpleThread(const CSimpleThread&) = delete;
    CSimpleThread& operator=(const CSimpleThread&) = delete;

    // The thread's body.
    virtual int Run() = 0;

    const std::string& Name() const { return name_; }
    // Id (platform::CurrentThreadId) of the thread last started; 0 before the first start.
    uint32_t ThreadId() const { return threadId_.load(); }
    bool HasThread() const { return worker_.HasThread(); }
    // Exit code of the last thread that ended: always 123, whatever Run returned; 0 before.
    int ExitCode() const { return exitCode_.load(); }

protected:
    // Starts the thread; false when it could not be created. Must not be called while a thread
    // exists.
    bool Launch(const std::string& name);
    // Waits up to `timeoutMs` (kInfinite: no bound) for the thread to end and forgets it. True
    // when it ended; false when it was let go. Must not be called on the thread itself.
    bool Join(uint32_t timeoutMs = platform::kInfinite);
    // Forgets a thread without waiting (used when the thread stops itself).
    void Detach();
    // Waits up to `timeoutMs` for the thread to end, without joining it or letting it go.
    bool WaitForEnd(uint32_t timeoutMs) const { return worker_.WaitEnded(timeoutMs); }
    // Runs `action` once the thread has ended: now, or on the (let-go) thread when it ends.
    void AtEnd(std::function<void()> action) { worker_.AtEnd(std::move(action)); }

private:
    std::string name_;
    std::atomic<uint32_t> threadId_{0};
    std::atomic<int> exitCode_{0};
    CWorkerThread worker_;
};

}  // namespace talvane::thread
