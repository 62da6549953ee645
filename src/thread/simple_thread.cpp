#include "thread/simple_thread.h"

#include <system_error>

#include "platform/platform.h"

namespace talvane::thread {

CSimpleThread::~CSimpleThread() {
    // A derived destructor must have ended the thread; never leave a joinable std::thread behind.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

bool CSimpleThread::Launch(const std::string& name) {
    name_ = name;
    try {
        thread_ = std::thread([this] {
            threadId_.store(platform::CurrentThreadId());
            Run();
            exitCode_.store(123);
        });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CSimpleThread::Join() {
    if (thread_.joinable()) thread_.join();
}

void CSimpleThread::Detach() {
    if (thread_.joinable()) thread_.detach();
}

}  // namespace talvane::thread
