// What the platform the tests run on can and cannot do, for the few checks that depend on it.
#pragma once

#include <string>

namespace zarntest {

// `utf8` as the host passes text: in the system's ANSI code page on Windows (what it cannot show
// becomes '?'), unchanged elsewhere. Computed with the system's own conversion, for tests of the
// driver's.
std::string HostText(const std::string& utf8);
// True when the host's code page is UTF-8 itself (always outside Windows).
bool HostCodePageIsUtf8();

// Throws as a host object built with MSVC throws a C++ exception: a structured exception with
// MSVC's code, raised from inside the call. Only where the host's exceptions are structured
// exceptions (Windows); elsewhere nothing is raised and the result is false.
bool RaiseHostException();
bool HostExceptionsAreStructured();

// True when the tests run as Windows programs under Wine. Wine's HTTP stack learns a Digest
// challenge but sends no Digest answer, so tests of Digest answers stop after the learning there.
bool RunningUnderWine();

}  // namespace zarntest
