#include "thread/simple_thread.h"

namespace talvane::thread {

CSimpleThread::~CSimpleThread() {
    // A derived destructor must have ended the thread; the worker joins or detaches what is left.
}

bool CSimpleThread::Launch(const std::string& name) {
    name_ = name;
    return worker_.Start([this] {
        threadId_.store(platform::CurrentThreadId());
        Run();
        exitCode_.store(123);
    });
}

bool CSimpleThread::Join(uint32_t timeoutMs) {
    if (timeoutMs == platform::kInfinite) {
        worker_.WaitEnded();
        return true;
    }
    return worker_.WaitFor(timeoutMs);
}

void CSimpleThread::Detach() {
    worker_.Detach();
}

}  // namespace talvane::thread
