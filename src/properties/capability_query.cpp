// The four capability-query entry points and the query thread.
//
// One query at a time per loaded library. InitCapabilityQuery registers the host's callback,
// StartCapabilityQuery starts a thread that creates a CZarnHDCameraProperties, lets it read the
// camera, writes the description into the host's result object and reports the outcome to the
// callback (on the query thread). TerminateCapabilityQuery asks the query to skip its optional
// steps; UninitCapabilityQuery ends it all. A second StartCapabilityQuery is refused while a query
// runs; one that has reported its outcome is released first.
//
// Stopping: UninitCapabilityQuery never kills the thread. It marks the query cancelled, silences
// the callback (waiting for a callback already in progress), terminates the properties object and
// aborts its HTTP request so that the thread ends promptly, then joins. Once it returns, nothing
// touches the callback, the result object or the properties object.
//
// Locks: gExportMutex serialises Init/Start/Uninit; gStateMutex guards the module state for short
// reads and writes only; a query's propsMutex guards its properties object; its notifyMutex is
// held while the callback runs. No lock but notifyMutex is held while calling the host.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "driver/idriver.h"
#include "properties/zarn_hd_camera_properties.h"
#include "zarn/abi.h"
#include "zarn/capability.h"

using talvane::ICapabilityQueryCallback;
using talvane::ICapabilityResult;

namespace {

constexpr int32_t kQueryTimeoutMs = 10000;

const char kCreateFailed[] = "Failed to create camera properties object";
const char kGetFailed[] = "Failed to get camera properties";
const char kSaveFailed[] = "Failed to save capability query results";

struct Query {
    talvane::DEVICE_INFO device;
    std::thread thread;
    std::atomic<bool> settled{false};    // the outcome is being or has been reported
    std::atomic<bool> finished{false};   // the thread has made its last access to host objects
    std::atomic<bool> cancelled{false};  // UninitCapabilityQuery has begun

    std::mutex propsMutex;
    std::unique_ptr<talvane::CCameraPropertiesEx> properties;

    std::mutex notifyMutex;
    bool silenced = false;  // guarded by notifyMutex

    Query() = default;
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    // A record still holding a thread is released only when the module is unloaded without
    // UninitCapabilityQuery: stop the query and wait for it rather than leave it running.
    ~Query() {
        if (!thread.joinable()) return;
        cancelled.store(true);
        {
            std::lock_guard<std::mutex> lock(notifyMutex);
            silenced = true;
        }
        {
            std::lock_guard<std::mutex> lock(propsMutex);
            if (properties) {
                properties->Terminate();
                properties->AbortRequest();
            }
        }
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
};

std::mutex gExportMutex;

std::mutex gStateMutex;
ICapabilityQueryCallback* gCallback = nullptr;  // guarded by gStateMutex
bool gVideoStandard = false;                    // guarded by gStateMutex
ICapabilityResult* gResult = nullptr;           // guarded by gStateMutex
std::shared_ptr<Query> gQuery;                  // guarded by gStateMutex

// The query the calling thread runs, if it is a query thread.
thread_local Query* tRunningQuery = nullptr;

ICapabilityQueryCallback* CurrentCallback() {
    std::lock_guard<std::mutex> lock(gStateMutex);
    return gCallback;
}

ICapabilityResult* CurrentResult() {
    std::lock_guard<std::mutex> lock(gStateMutex);
    return gResult;
}

std::shared_ptr<Query> CurrentQuery() {
    std::lock_guard<std::mutex> lock(gStateMutex);
    return gQuery;
}

// Reports the query's outcome (every notification is the last one) through the
// registered callback, unless the query has been silenced. The callback is read
// at the time of the call.
template <class Call>
void Notify(Query& query, Call call) {
    query.settled.store(true);
    std::lock_guard<std::mutex> lock(query.notifyMutex);
    if (query.silenced) return;
    ICapabilityQueryCallback* callback = CurrentCallback();
    if (callback != nullptr) call(callback);
}

void NotifyFailed(Query& query, int32_t code, const char* message) {
    Notify(query,
           [&](ICapabilityQueryCallback* callback) { callback->OnQueryFailed(code, message); });
}

int RunQuery(Query& query) {
    bool videoStandard = false;
    {
        std::lock_guard<std::mutex> lock(gStateMutex);
        if (gCallback == nullptr) return 0;
        videoStandard = gVideoStandard;
    }
    if (query.cancelled.load()) return 0;

    int error = talvane::kErrorOther;
    try {
        talvane::CCameraPropertiesEx* properties = nullptr;
        {
            std::unique_ptr<talvane::CCameraPropertiesEx> created;
            try {
                created = std::make_unique<talvane::CZarnHDCameraProperties>(query.device,
                                                                             videoStandard ? 1 : 0);
            } catch (...) {
                created.reset();  // reported below as an object that could not be created
            }
            std::lock_guard<std::mutex> lock(query.propsMutex);
            query.properties = std::move(created);
            properties = query.properties.get();
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
        // A query being torn down writes nothing more into the host's objects.
        if (query.cancelled.load()) return 0;
        if (!properties->SaveResults(CurrentResult())) {
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

// Ends a query: nothing of it touches host objects once this returns. Called with gExportMutex
// held, never with gStateMutex. Returns false when the thread could not be joined because this is
// the query thread itself (an export called from inside the callback): the thread then does
// nothing more than end, and the record stays for a later export (or the module's unloading) to
// join.
bool StopQuery(const std::shared_ptr<Query>& query) {
    query->cancelled.store(true);
    if (tRunningQuery == query.get()) {
        // The notification lock, if held, is held by this very thread; nothing else writes the
        // flag while gExportMutex is held.
        query->silenced = true;
        std::lock_guard<std::mutex> lock(query->propsMutex);
        if (query->properties) query->properties->Terminate();
        return false;
    }
    // Silence first (waiting for a callback in progress), so that the failure the abort causes
    // is never reported.
    {
        std::lock_guard<std::mutex> lock(query->notifyMutex);
        query->silenced = true;
    }
    {
        std::lock_guard<std::mutex> lock(query->propsMutex);
        if (query->properties) {
            query->properties->Terminate();
            query->properties->AbortRequest();
        }
    }
    if (query->thread.joinable()) query->thread.join();
    return true;
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

ZARN_EXPORT int ZARN_CALL InitCapabilityQuery(ICapabilityQueryCallback* callback,
                                              bool videoStandard) {
    std::lock_guard<std::mutex> exportLock(gExportMutex);
    std::lock_guard<std::mutex> lock(gStateMutex);
    if (gCallback != nullptr) return 0;
    gCallback = callback;
    gVideoStandard = videoStandard;
    return 1;
}

ZARN_EXPORT int ZARN_CALL StartCapabilityQuery(const char* address, unsigned short port,
                                               const char* user, const char* password,
                                               ICapabilityResult* result) {
    std::lock_guard<std::mutex> exportLock(gExportMutex);
    std::shared_ptr<Query> previous = CurrentQuery();
    if (previous) {
        // One query at a time: a running one refuses the new one; one that has reported its
        // outcome is released (its thread is joined, waiting for a callback still in progress,
        // which is why the query thread itself is refused).
        const bool done = previous->finished.load() || previous->settled.load();
        if (!done || tRunningQuery == previous.get()) return 0;
        StopQuery(previous);
        std::lock_guard<std::mutex> lock(gStateMutex);
        gQuery.reset();
    }
    previous.reset();

    try {
        auto query = std::make_shared<Query>();
        query->device.requestTimeoutMs = kQueryTimeoutMs;
        query->device.noDataTimeoutMs = kQueryTimeoutMs;
        // Null strings are taken as empty ones; an empty address fails the query
        // with code 3.
        query->device.address = TextOrEmpty(address);
        query->device.port = port;
        query->device.user = TextOrEmpty(user);
        query->device.password = TextOrEmpty(password);
        {
            std::lock_guard<std::mutex> lock(gStateMutex);
            gResult = result;
            gQuery = query;
        }
        try {
            query->thread = std::thread(QueryThread, query);
        } catch (...) {
            std::lock_guard<std::mutex> lock(gStateMutex);
            gQuery.reset();
            return 0;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

ZARN_EXPORT int ZARN_CALL TerminateCapabilityQuery() {
    // Not serialised with the other exports: it may come from the callback while
    // UninitCapabilityQuery waits for the thread.
    std::shared_ptr<Query> query = CurrentQuery();
    if (query) {
        std::lock_guard<std::mutex> lock(query->propsMutex);
        if (query->properties) query->properties->Terminate();
    }
    return 1;
}

ZARN_EXPORT int ZARN_CALL UninitCapabilityQuery() {
    std::lock_guard<std::mutex> exportLock(gExportMutex);
    std::shared_ptr<Query> query = CurrentQuery();
    const bool joined = query ? StopQuery(query) : true;
    {
        std::lock_guard<std::mutex> lock(gStateMutex);
        gCallback = nullptr;
        gResult = nullptr;
        // Called from inside the callback: keep the record so that the next export or the
        // module's unloading joins the thread once it has ended.
        if (joined) gQuery.reset();
    }
    // Destroys the properties object of a joined query.
    query.reset();
    return 1;
}
