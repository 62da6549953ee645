// What the platform the tests run on can and cannot do, for the few checks that depend on it.
#pragma once

namespace zarntest {

// True when the tests run as Windows programs under Wine. Wine's HTTP stack learns a Digest
// challenge but sends no Digest answer, so tests of Digest answers stop after the learning there.
bool RunningUnderWine();

}  // namespace zarntest
