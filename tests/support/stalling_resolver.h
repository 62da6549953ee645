// A host-name lookup that hangs, for tests of stops that must not wait for one: on Linux the test
// programs carry their own getaddrinfo (stalling_resolver_posix.cpp), which holds every lookup of
// a name ending in kStallingSuffix until Release (or 60 s) and then fails it; every other name
// goes to the system's resolver.
#pragma once

#include <chrono>
#include <cstddef>

namespace zarntest {

class StallingResolver {
public:
    static constexpr const char* kStallingSuffix = ".stall.invalid";

    // Lets every held lookup (and every later one, until Rearm) fail at once.
    static void Release();
    // Holds lookups again.
    static void Rearm();
    // Lookups of a stalling name that have begun.
    static size_t Started();
    static bool WaitForStarted(size_t n, std::chrono::milliseconds timeout);
    // Lookups of a stalling name that are being held right now.
    static size_t Held();
};

}  // namespace zarntest
