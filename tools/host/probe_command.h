// The `probe` subcommand and the capability query it runs: the driver's four query exports are
// called as a host calls them (register the callback, start, wait for the outcome, end), and the
// description the driver wrote into the result object is printed as a table or as JSON.
//
// The query runs on the driver's own thread; the caller's thread waits for the callback with a
// bounded time-out and ends the query in every case.
#pragma once

#include <string>

#include "camera_target.h"
#include "console.h"
#include "driver_library.h"
#include "support/fake_capability.h"

namespace zarnhost {

struct ProbeOptions {
    CameraTarget camera;
    bool json = false;
    int timeoutSec = 40;  // the query makes up to three requests of 10 s each
};

struct QueryRun {
    bool finished = false;  // the callback was called
    zarntest::QueryOutcome outcome;
};

// Runs one capability query into `result`. False with `error` set when the query could not run
// at all or did not finish in time; a finished query (completed or failed) returns true.
bool RunCapabilityQuery(DriverLibrary& library, const CameraTarget& camera, int timeoutSec,
                        zarntest::FakeCapabilityResult* result, QueryRun* run, std::string* error);

// An error line for a query that ended in OnQueryFailed.
std::string QueryFailureText(const CameraTarget& camera, const zarntest::QueryOutcome& outcome);

int RunProbe(DriverLibrary& library, const ProbeOptions& options, Console& console,
             std::string* error);

}  // namespace zarnhost
