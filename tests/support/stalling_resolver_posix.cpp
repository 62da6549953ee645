#include <dlfcn.h>
#include <netdb.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

#include "support/stalling_resolver.h"
#include "support/test_platform.h"

namespace zarntest {

namespace {

std::mutex gMutex;
std::condition_variable gCv;
bool gReleased = false;
size_t gStarted = 0;
size_t gHeld = 0;

bool IsStalling(const char* node) {
    if (node == nullptr) return false;
    const size_t length = std::strlen(node);
    const size_t suffix = std::strlen(StallingResolver::kStallingSuffix);
    return length >= suffix &&
           std::strcmp(node + length - suffix, StallingResolver::kStallingSuffix) == 0;
}

using GetAddrInfoFn = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

}  // namespace

void StallingResolver::Release() {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gReleased = true;
    }
    gCv.notify_all();
}

void StallingResolver::Rearm() {
    std::lock_guard<std::mutex> lock(gMutex);
    gReleased = false;
}

size_t StallingResolver::Started() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gStarted;
}

bool StallingResolver::WaitForStarted(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(gMutex);
    return gCv.wait_for(lock, Scaled(timeout), [n] { return gStarted >= n; });
}

size_t StallingResolver::Held() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gHeld;
}

}  // namespace zarntest

// Takes the place of the C library's getaddrinfo for the whole test program (libcurl's resolver
// thread included).
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) noexcept {
    using namespace zarntest;
    if (IsStalling(node)) {
        std::unique_lock<std::mutex> lock(gMutex);
        ++gStarted;
        ++gHeld;
        gCv.notify_all();
        gCv.wait_for(lock, std::chrono::seconds(60), [] { return gReleased; });
        --gHeld;
        return EAI_NONAME;
    }
    static const auto next = reinterpret_cast<GetAddrInfoFn>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (next == nullptr) return EAI_FAIL;
    return next(node, service, hints, result);
}
