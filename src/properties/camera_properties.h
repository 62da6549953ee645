// Camera description gathered by a capability query, and the camera-independent part of the object
// that gathers it and writes it into the host's ICapabilityResult.
//
// Ownership and threads: one CCameraPropertiesEx-derived object is created per query by the query
// thread, which alone calls GetProperties and then SaveResults. Terminate and AbortRequest may be
// called from any other thread at any time (they only touch an atomic flag and the HTTP client's
// thread-safe abort). The object borrows the result object only for the duration of SaveResults
// and keeps no pointer to it or to the sub-objects it hands out.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/host_gate.h"
#include "core/idriver.h"
#include "zarn/capability.h"

namespace talvane {

// One offered picture size.
struct ResolutionEntry {
    int32_t defaultIntervalMs = 0;     // default frame interval
    std::vector<int32_t> intervalsMs;  // offered frame intervals
    uint32_t intervalCursor = 0;       // position while the intervals are written out
    uint16_t width = 0;
    uint16_t height = 0;
};

// The description of one camera: plain data.
class CCameraProperties {
public:
    std::vector<int32_t> formatCodes;          // stream format codes offered, see FormatCapability
    std::vector<ResolutionEntry> resolutions;  // in table order
    std::string manufacturer;                  // not reported to the host
    std::string model;
    int32_t videoChannelCount = 0;
    int32_t inputCount = 0;
    int32_t outputCount = 0;
    uint32_t formatCursor = 0;      // position while the format codes are written out
    uint32_t resolutionCursor = 0;  // position while the resolutions are written out
    bool audioSupported = false;
    bool ptzSupported = false;
    bool capability11 = false;
    bool capability12 = false;
};

// Capability id reported (with value 1) for a stream format code, or -1 for none.
int32_t FormatCapability(int32_t formatCode);

// Capability ids written with SetCapability.
enum CapabilityId : int32_t {
    kCapVideoChannels = 0,
    kCapPtz = 1,
    kCapInputs = 2,
    kCapOutputs = 3,
    kCapAudio = 4,
    kCapFormat4 = 6,
    kCapFormat1And2 = 7,
    kCapFormatH264 = 8,
    kCap11 = 11,
    kCap12 = 12,
};

// Failure codes left by GetProperties.
enum PropertiesError : int32_t {
    kErrorLoginRejected = 1,
    kErrorOther = 3,
};

class CCameraPropertiesEx : public CCameraProperties {
public:
    CCameraPropertiesEx(const DEVICE_INFO& device, int32_t videoStandard);
    virtual ~CCameraPropertiesEx();
    CCameraPropertiesEx(const CCameraPropertiesEx&) = delete;
    CCameraPropertiesEx& operator=(const CCameraPropertiesEx&) = delete;

    // Reaches the camera and fills the description. True when the login was accepted and the
    // capability list was read; otherwise `error` holds a PropertiesError and false is returned.
    // On success `error` is left untouched. Query thread only.
    virtual bool GetProperties(int& error) = 0;
    // Writes the description into `result`; false (and no call at all) when it is null, false
    // too when the host gate closed on the way (no further call into the host is made then).
    // Query thread only.
    virtual bool SaveResults(ICapabilityResult* result);
    // Asks GetProperties to skip its remaining optional steps. Any thread; never undone.
    virtual void Terminate();
    // Makes a request in flight (and every later one) fail at once. Any thread. Used when the
    // query is being torn down, so that the query thread ends promptly.
    virtual void AbortRequest();

    // Gate of every call into the result object (borrowed, may be null: always open).
    void SetHostGate(CHostGate* gate) { gate_ = gate; }

    bool TerminateRequested() const { return terminate_.load(std::memory_order_acquire); }
    const DEVICE_INFO& Device() const { return device_; }
    int32_t VideoStandard() const { return videoStandard_; }

protected:
    // Tested right before each call into the host's result object and its sub-objects.
    bool HostOpen() const { return gate_ == nullptr || gate_->IsOpen(); }

    std::atomic<bool> terminate_{false};
    CHostGate* gate_ = nullptr;
    DEVICE_INFO device_;
    int32_t videoStandard_;
};

}  // namespace talvane
