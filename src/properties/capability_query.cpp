// The four capability-query entry points and the query thread.
//
// One query at a time per loaded library. InitCapabilityQuery registers the host's callback,
// StartCapabilityQuery starts a thread that creates a CZarnHDCameraProperties, lets it read the
// camera, writes the description into the host's result object and reports the outcome to the
// callback (on the query thread). TerminateCapabilityQuery asks the query to skip its optional
// steps; UninitCapabilityQuery ends it all. A second StartCapabilityQuery is refused while a query
// runs; one that has reported its outcome is released first.
//
// Stopping: UninitCapabilityQuery never kills the thread. It marks the query cancelled and closes
// its host gate (from then on the thread starts no call into the host), terminates the properties
// object and aborts its HTTP request so that the thread ends promptly, then waits for it, at most
// 5000 ms. A thread still held after that (inside a call into the host, or in a host-name lookup)
// is let go: it owns its query record and properties object and deletes them when it ends, and a
// call into the host that was under way when the gate closed is its last one. Once Uninit returns,
// nothing calls the callback or the result object again.
//
// Locks: gExportMutex serialises Init/Start/Uninit but is never held while waiting for the query
// thread, so that a callback may call the exports; gStateMutex guards the module state for short
// reads and writes only (taken after gExportMutex); a query's propsMutex guards its properties
// object and is taken alone. No lock is held while calling the host.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/boundary_guard.h"
#include "core/host_call.h"
#include "core/host_gate.h"
#include "core/idriver.h"
#include "platform/platform.h"
#include "properties/zarn_hd_camera_properties.h"
#include "thread/worker_thread.h"
#include "zarn/abi.h"
#include "zarn/capability.h"

using talvane::ICapabilityQueryCallback;
using talvane::ICapabilityResult;

namespace {

constexpr int32_t kQueryTimeoutMs = 10000;
// How long Uninit (and the release of an earlier query) waits for the query thread.
constexpr uint32_t kQueryStopBoundMs = 5000;

const char kCreateFailed[] = "Failed to create camera properties object";
const char kGetFailed[] = "Failed to get camera properties";
const char kSaveFailed[] = "Failed to save capability query results";

struct Query {
    talvane::DEVICE_INFO device;
    talvane::thread::CWorkerThread thread;  // waited for by whoever takes the record
    std::atomic<bool> settled{false};       // the outcome is being or has been reported
    std::atomic<bool> finished{false};      // the thread has made its last access to host objects
    std::atomic<bool> cancelled{false};     // set under gStateMutex with the gate closed
    talvane::CHostGate gate;                // every call into the host passes it

    std::mutex propsMutex;
    std::unique_ptr<talvane::CCameraPropertiesEx> properties;  // guarded by propsMutex

    Query() = default;
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    ~Query();

    // Under gStateMutex: no call into the host starts after this.
    void Cancel() {
        cancelled.store(true);
        gate.Close();
    }

    // Makes the thread end soon: the optional steps are skipped and a request in flight fails.
    void StopProperties() {
        std::lock_guard<std::mutex> lock(propsMutex);
        if (properties) {
            properties->Terminate();
            properties->AbortRequest();
        }
    }
};

std::mutex gExportMutex;

std::mutex gStateMutex;
ICapabilityQueryCallback* gCallback = nullptr;  // guarded by gStateMutex
bool gVideoStandard = false;                    // guarded by gStateMutex
ICapabilityResult* gResult = nullptr;           // guarded by gStateMutex
std::shared_ptr<Query> gQuery;                  // guarded by gStateMutex
// Queries ended from inside their own callback: their threads are joined once they have finished.
std::vector<std::shared_ptr<Query>> gOrphans;  // guarded by gExportMutex

// The query the calling thread runs, if it is a query thread.
thread_local Query* tRunningQuery = nullptr;

// A record still holding a thread is released only when the module is unloaded without
// UninitCapabilityQuery, or for a query ended from inside its callback: stop it and wait (with
// the bound; the thread then owns the record anyway).
Query::~Query() {
    if (!thread.HasThread()) return;
    cancelled.store(true);
    gate.Close();
    StopProperties();
    if (thread.IsCurrent()) {
        thread.Detach();
    } else {
        thread.WaitFor(kQueryStopBoundMs);
    }
}

std::shared_ptr<Query> CurrentQuery() {
    std::lock_guard<std::mutex> lock(gStateMutex);
    return gQuery;
}

// Reports the query's outcome (every notification is the last one) through the callback
// registered at the time of the call, unless the query has been cancelled.
template <class Call>
void Notify(Query& query, Call call) {
    query.settled.store(true);
    ICapabilityQueryCallback* callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(gStateMutex);
        if (query.cancelled.load()) return;
        callback = gCallback;
    }
    talvane::CHostGate::Call hostCall(&query.gate);
    // A callback that throws has heard the outcome as far as it could: nothing follows.
    if (hostCall && callback != nullptr) talvane::CallHost([&] { call(callback); });
}

void NotifyFailed(Query& query, int32_t code, const char* message) {
    Notify(query,
           [&](ICapabilityQueryCallback* callback) { callback->OnQueryFailed(code, message); });
}

std::unique_ptr<talvane::CCameraPropertiesEx> CreateProperties(const talvane::DEVICE_INFO& device,
                                                               bool videoStandard) {
    try {
        return std::make_unique<talvane::CZarnHDCameraProperties>(device, videoStandard ? 1 : 0);
    } catch (...) {
        return nullptr;
    }
}

int RunQuery(Query& query) {
    bool videoStandard = false;
    {
        std::lock_guard<std::mutex> lock(gStateMutex);
        if (gCallback == nullptr || query.cancelled.load()) return 0;
        videoStandard = gVideoStandard;
    }

    int error = talvane::kErrorOther;
    try {
        talvane::CCameraPropertiesEx* properties = nullptr;
        {
            std::unique_ptr<talvane::CCameraPropertiesEx> created =
                CreateProperties(query.device, videoStandard);
            std::lock_guard<std::mutex> lock(query.propsMutex);
            query.properties = std::move(created);
            properties = query.properties.get();
            if (properties != nullptr) properties->SetHostGate(&query.gate);
            // A stop that came before the object existed still has to reach it.
            if (properties != nullptr && query.cancelled.load()) {
                properties->Terminate();
                properties->AbortRequest();
            }
        }
        if (properties == nullptr) {
            NotifyFailed(query, talvane::kErrorOther, kCreateFailed);
            return 0;
        }
        if (!properties->GetProperties(error)) {
            NotifyFailed(query, error, kGetFailed);
            return 0;
        }
        ICapabilityResult* result = nullptr;
        {
            // A query being torn down writes nothing more into the host's objects.
            std::lock_guard<std::mutex> lock(gStateMutex);
            if (query.cancelled.load()) return 0;
            result = gResult;
        }
        if (!properties->SaveResults(result)) {
            NotifyFailed(query, error, kSaveFailed);
            return 0;
        }
        Notify(query, [](ICapabilityQueryCallback* callback) { callback->OnQueryCompleted(); });
        return 1;
    } catch (...) {
        return 0;
    }
}

void QueryThread(std::shared_ptr<Query> query) {
    tRunningQuery = query.get();
    RunQuery(*query);
    query->finished.store(true);
    tRunningQuery = nullptr;
}

// Joins the threads of orphaned queries that have ended. Called with gExportMutex held.
void ReapOrphans() {
    for (auto it = gOrphans.begin(); it != gOrphans.end();) {
        if ((*it)->finished.load()) {
            (*it)->thread.WaitFor(kQueryStopBoundMs);
            it = gOrphans.erase(it);
        } else {
            ++it;
        }
    }
}

// Waits for a query taken out of the module state (after it was cancelled) to end. Called without
// any lock. On the query's own thread (an export called from the callback) the thread cannot be
// joined: the record is kept and joined by a later export or when the module is unloaded.
void EndQuery(std::shared_ptr<Query> query) {
    query->StopProperties();
    if (tRunningQuery == query.get()) {
        std::lock_guard<std::mutex> lock(gExportMutex);
        gOrphans.push_back(std::move(query));
        return;
    }
    // Destroying the record here destroys the properties object; a query thread that is let go
    // holds the record and destroys it when it ends.
    query->thread.WaitFor(kQueryStopBoundMs);
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

int InitQuery(ICapabilityQueryCallback* callback, bool videoStandard) {
    std::lock_guard<std::mutex> exportLock(gExportMutex);
    ReapOrphans();
    std::lock_guard<std::mutex> lock(gStateMutex);
    if (gCallback != nullptr) return 0;
    gCallback = callback;
    gVideoStandard = videoStandard;
    return 1;
}

int StartQuery(const char* address, unsigned short port, const char* user, const char* password,
               ICapabilityResult* result) {
    std::shared_ptr<Query> released;
    int started = 0;
    {
        std::lock_guard<std::mutex> exportLock(gExportMutex);
        ReapOrphans();
        std::shared_ptr<Query> previous = CurrentQuery();
        if (previous) {
            // One query at a time: a running one refuses the new one; one that has reported its
            // outcome is released. Its own thread (inside the callback) is refused too, since it
            // cannot wait for itself.
            const bool done = previous->finished.load() || previous->settled.load();
            if (!done || tRunningQuery == previous.get()) return 0;
            std::lock_guard<std::mutex> lock(gStateMutex);
            previous->Cancel();
            gQuery.reset();
            released = std::move(previous);
        }
        try {
            auto query = std::make_shared<Query>();
            query->device.requestTimeoutMs = kQueryTimeoutMs;
            query->device.noDataTimeoutMs = kQueryTimeoutMs;
            // Null strings are taken as empty ones; an empty address fails the query with code 3.
            query->device.address = TextOrEmpty(address);
            query->device.port = port;
            query->device.user = TextOrEmpty(user);
            query->device.password = TextOrEmpty(password);
            {
                std::lock_guard<std::mutex> lock(gStateMutex);
                gResult = result;
                gQuery = query;
            }
            if (query->thread.Start([query] { QueryThread(query); })) {
                started = 1;
            } else {
                std::lock_guard<std::mutex> lock(gStateMutex);
                gQuery.reset();
            }
        } catch (...) {
            // A query that never got its thread must not block the next Start.
            std::lock_guard<std::mutex> lock(gStateMutex);
            if (gQuery && !gQuery->thread.HasThread()) gQuery.reset();
            started = 0;
        }
    }
    // The released query has already reported; waiting for it is short.
    if (released) EndQuery(std::move(released));
    return started;
}

int TerminateQuery() {
    // Not serialised with the other exports: it only sets the properties object's flag.
    std::shared_ptr<Query> query = CurrentQuery();
    if (query) {
        std::lock_guard<std::mutex> lock(query->propsMutex);
        if (query->properties) query->properties->Terminate();
    }
    return 1;
}

int UninitQuery() {
    std::shared_ptr<Query> query;
    {
        std::lock_guard<std::mutex> exportLock(gExportMutex);
        ReapOrphans();
        std::lock_guard<std::mutex> lock(gStateMutex);
        query = std::move(gQuery);
        gQuery.reset();
        if (query) query->Cancel();
        gCallback = nullptr;
        gResult = nullptr;
    }
    if (query) EndQuery(std::move(query));
    return 1;
}

}  // namespace

// The exports let no exception out to the host (GuardBoundary; the query has no log): Init and
// Start answer 0, Terminate and Uninit their one result, 1.
ZARN_EXPORT int ZARN_CALL InitCapabilityQuery(ICapabilityQueryCallback* callback,
                                              bool videoStandard) {
    talvane::platform::PinModuleAtFirstUse();
    return talvane::GuardBoundary(nullptr, "InitCapabilityQuery", 0,
                                  [&] { return InitQuery(callback, videoStandard); });
}

ZARN_EXPORT int ZARN_CALL StartCapabilityQuery(const char* address, unsigned short port,
                                               const char* user, const char* password,
                                               ICapabilityResult* result) {
    return talvane::GuardBoundary(nullptr, "StartCapabilityQuery", 0, [&] {
        return StartQuery(address, port, user, password, result);
    });
}

ZARN_EXPORT int ZARN_CALL TerminateCapabilityQuery() {
    return talvane::GuardBoundary(nullptr, "TerminateCapabilityQuery", 1,
                                  [] { return TerminateQuery(); });
}

ZARN_EXPORT int ZARN_CALL UninitCapabilityQuery() {
    return talvane::GuardBoundary(nullptr, "UninitCapabilityQuery", 1,
                                  [] { return UninitQuery(); });
}
