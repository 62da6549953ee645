// Capability query: the host's callback and result objects the driver writes to, and the exported
// entry points that run a one-shot query in the background.
#pragma once

#include <cstdint>

#include "zarn/abi.h"

namespace talvane {

class ICapabilityQueryCallback {
    ZARN_SLOT0(ICapabilityQueryCallback)
    virtual void Reserved1() = 0;                                        // 1
    virtual void OnQueryCompleted() = 0;                                 // 2
    virtual void OnQueryFailed(int32_t code, const char* message) = 0;   // 3: message valid during the call
};

class ICapabilityTextField {
    ZARN_SLOT0(ICapabilityTextField)
    virtual void SetText(const char* text) = 0;  // 1
};

class ICapabilityCustomProperty {
    ZARN_SLOT0(ICapabilityCustomProperty)
    virtual void SetValue(const char* value) = 0;  // 1
    virtual void Reserved2() = 0;                  // 2
    virtual void Reserved3() = 0;                  // 3
    virtual void SetFlag(int32_t flag) = 0;        // 4
    virtual void SetName(const char* name) = 0;    // 5
    virtual void SetKind(int32_t kind) = 0;        // 6
};

class ICapabilityResolutionList {
    ZARN_SLOT0(ICapabilityResolutionList)
    virtual void Add(const char* text, uint16_t width, uint16_t height, int32_t intervalMs) = 0;  // 1
};

class ICapabilityFrameIntervalList {
    ZARN_SLOT0(ICapabilityFrameIntervalList)
    virtual void SetDefault(int32_t intervalMs) = 0;  // 1
    virtual void Add(int32_t intervalMs) = 0;         // 2
};

// Objects returned by the result object belong to it; the driver keeps no pointer to them.
class ICapabilityResult {
    ZARN_SLOT0(ICapabilityResult)
    virtual void SetCapability(int32_t id, int32_t value) = 0;                      // 1
    virtual void SetModelName(const char* model) = 0;                               // 2
    virtual ICapabilityTextField* GetConnectionField(int32_t index) = 0;            // 3: 1..4
    virtual void Reserved4() = 0;                                                   // 4
    virtual ICapabilityCustomProperty* GetCustomProperty(int32_t index) = 0;        // 5: 1..4
    virtual ICapabilityResolutionList* GetResolutionList() = 0;                     // 6
    virtual void Reserved7() = 0;                                                   // 7
    virtual ICapabilityFrameIntervalList* GetFrameIntervalList(int32_t list) = 0;   // 8
};

}  // namespace talvane

using ZarnInitCapabilityQueryFn = int (ZARN_CALL*)(talvane::ICapabilityQueryCallback*, bool);
using ZarnStartCapabilityQueryFn = int (ZARN_CALL*)(const char*, unsigned short, const char*,
                                                    const char*, talvane::ICapabilityResult*);
using ZarnTerminateCapabilityQueryFn = int (ZARN_CALL*)();
using ZarnUninitCapabilityQueryFn = int (ZARN_CALL*)();
