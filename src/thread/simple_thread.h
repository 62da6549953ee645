// CSimpleThread: a named thread whose body is the virtual Run. The derived class decides how Run
// ends; Join waits for it. The name is kept for identification only.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

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
    bool HasThread() const { return thread_.joinable(); }
    // Exit code of the last thread that ended: always 123, whatever Run returned; 0 before.
    int ExitCode() const { return exitCode_.load(); }

protected:
    // Starts the thread; false when it could not be created. Must not be called while a thread
    // exists.
    bool Launch(const std::string& name);
    // Waits for the thread to end and forgets it. Must not be called on the thread itself.
    void Join();
    // Forgets a thread without waiting (used when the thread stops itself).
    void Detach();

private:
    std::string name_;
    std::thread thread_;
    std::atomic<uint32_t> threadId_{0};
    std::atomic<int> exitCode_{0};
};

}  // namespace talvane::thread
