// Slot probe of the host interfaces, compiled to assembly for 32-bit Windows by the build and read
// by scripts/check-slots.py. Each ZARN_PROBE line names an interface, one of its operations and the
// slot number the host expects it at; the probe function calls that operation through a pointer,
// and the checker finds the vtable offset of the call (4 bytes per slot) and checks that the object
// travels in ECX (thiscall), as the host's compiler passes it.
#include "zarn/capability.h"
#include "zarn/capture.h"
#include "zarn/host.h"
#include "zarn/ptz.h"

namespace {

template <auto Method, class Object, class C, class R, class... A>
void Invoke(Object* object, R (C::*)(A...)) {
    (object->*Method)(A{}...);
}

template <auto Method, class Object, class C, class R, class... A>
void Invoke(Object* object, R (C::*)(A...) const) {
    (object->*Method)(A{}...);
}

}  // namespace

#define ZARN_PROBE(Interface, Method, Slot)                                       \
    extern "C" void zarn_probe__##Interface##__##Method##__##Slot(Interface* p) { \
        Invoke<&Interface::Method>(p, &Interface::Method);                        \
    }

using namespace talvane;
using namespace talvane::ipcapture;

// Host objects the driver calls.
ZARN_PROBE(CDebugInfoIf, ScalarDeletingDestructor, 0)
ZARN_PROBE(CDebugInfoIf, GetLevel, 1)
ZARN_PROBE(CDebugInfoIf, GetText, 2)
ZARN_PROBE(IHostDebugSink, Output, 1)
ZARN_PROBE(IHostFrame, GetCapacity, 1)
ZARN_PROBE(IHostFrame, GetBuffer, 2)
ZARN_PROBE(IHostFrame, GetDataSize, 3)
ZARN_PROBE(IHostFrame, SetDataSize, 4)
ZARN_PROBE(IHostFrame, StampTime, 5)
ZARN_PROBE(IHostFrame, SetTime, 6)
ZARN_PROBE(IHostFrame, GetTime, 7)
ZARN_PROBE(IHostFrame, Reserved8, 8)
ZARN_PROBE(IHostFrame, GetFourCC, 9)
ZARN_PROBE(IHostFrame, SetFourCC, 10)
ZARN_PROBE(IHostFrame, GetHeight, 11)
ZARN_PROBE(IHostFrame, SetHeight, 12)
ZARN_PROBE(IHostFrame, GetWidth, 13)
ZARN_PROBE(IHostFrame, SetWidth, 14)
ZARN_PROBE(IHostFrame, GetSizeClass, 15)
ZARN_PROBE(IHostFrame, SetSizeClass, 16)
ZARN_PROBE(IFrameAllocator, AllocateFrame, 2)
ZARN_PROBE(IFrameAllocator, ReleaseFrame, 6)
ZARN_PROBE(IDeviceSettings, GetModelName, 2)
ZARN_PROBE(IDeviceSettings, GetChannelCount, 3)
ZARN_PROBE(IDeviceSettings, GetDeviceValue1, 5)
ZARN_PROBE(IDeviceSettings, GetDeviceValue2, 6)
ZARN_PROBE(INetworkSettings, GetAddress, 1)
ZARN_PROBE(INetworkSettings, GetPort, 2)
ZARN_PROBE(INetworkSettings, GetStreamKind, 4)
ZARN_PROBE(INetworkSettings, GetUserName, 5)
ZARN_PROBE(INetworkSettings, GetPassword, 6)
ZARN_PROBE(IDriverConfig, GetDeviceSettings, 1)
ZARN_PROBE(IDriverConfig, GetNetworkSettings, 2)
ZARN_PROBE(IDriverConfig, GetExtraParameter, 4)
ZARN_PROBE(IChannelSink, OnFrame, 1)
ZARN_PROBE(IChannelSink, OnSignalLost, 3)
ZARN_PROBE(IResolution, GetWidth, 1)
ZARN_PROBE(IResolution, GetHeight, 2)
ZARN_PROBE(IStreamFormat, GetResolution, 3)
ZARN_PROBE(IStreamRate, GetFramePeriodMs, 1)
ZARN_PROBE(IStreamRate, GetQuality, 3)
ZARN_PROBE(IStreamSettings, GetFormat, 1)
ZARN_PROBE(IStreamSettings, GetRate, 2)
ZARN_PROBE(ICapabilityQueryCallback, OnQueryCompleted, 2)
ZARN_PROBE(ICapabilityQueryCallback, OnQueryFailed, 3)
ZARN_PROBE(ICapabilityTextField, SetText, 1)
ZARN_PROBE(ICapabilityCustomProperty, SetValue, 1)
ZARN_PROBE(ICapabilityCustomProperty, SetFlag, 4)
ZARN_PROBE(ICapabilityCustomProperty, SetName, 5)
ZARN_PROBE(ICapabilityCustomProperty, SetKind, 6)
ZARN_PROBE(ICapabilityResolutionList, Add, 1)
ZARN_PROBE(ICapabilityFrameIntervalList, SetDefault, 1)
ZARN_PROBE(ICapabilityFrameIntervalList, Add, 2)
ZARN_PROBE(ICapabilityResult, SetCapability, 1)
ZARN_PROBE(ICapabilityResult, SetModelName, 2)
ZARN_PROBE(ICapabilityResult, GetConnectionField, 3)
ZARN_PROBE(ICapabilityResult, GetCustomProperty, 5)
ZARN_PROBE(ICapabilityResult, GetResolutionList, 6)
ZARN_PROBE(ICapabilityResult, GetFrameIntervalList, 8)

// The driver's objects the host calls.
ZARN_PROBE(IIPCaptureDriverEx3, ScalarDeletingDestructor, 0)
ZARN_PROBE(IIPCaptureDriverEx3, Open, 1)
ZARN_PROBE(IIPCaptureDriverEx3, Close, 2)
ZARN_PROBE(IIPCaptureDriverEx3, GetVideoCapture, 3)
ZARN_PROBE(IIPCaptureDriverEx3, GetAuxiliaryCapture, 4)
ZARN_PROBE(IIPCaptureDriverEx3, Reserved5, 5)
ZARN_PROBE(IIPCaptureDriverEx3, GetPtzDriver, 6)
ZARN_PROBE(IIPCaptureDriverEx3, Reserved7, 7)
ZARN_PROBE(IIPCaptureDriverEx3, GetVideoCaptureEx, 8)
ZARN_PROBE(IIPCaptureDriverEx3, GetPtzDriverEx, 9)
ZARN_PROBE(IIPVideoCaptureEx, ScalarDeletingDestructor, 0)
ZARN_PROBE(IIPVideoCaptureEx, GetChannelCount, 1)
ZARN_PROBE(IIPVideoCaptureEx, StartChannel, 2)
ZARN_PROBE(IIPVideoCaptureEx, StopChannel, 3)
ZARN_PROBE(IIPVideoCaptureEx, ReconfigureChannel, 4)
ZARN_PROBE(IIPVideoCaptureEx, Reserved5, 5)
ZARN_PROBE(IIPVideoCaptureEx, GetChannelState, 6)
ZARN_PROBE(IIPVideoCaptureEx, Reserved7, 7)
ZARN_PROBE(IIPVideoCaptureEx, Reserved8, 8)
ZARN_PROBE(IIPVideoCaptureEx, Reserved9, 9)
ZARN_PROBE(IIPVideoCaptureEx, Reserved10, 10)
ZARN_PROBE(IIPPTZDriverEx, ScalarDeletingDestructor, 0)
ZARN_PROBE(IIPPTZDriverEx, GetControl, 1)
ZARN_PROBE(IIPPTZDriverEx, GetPtzControl, 2)
ZARN_PROBE(IIPPTZApiEx, ScalarDeletingDestructor, 0)
ZARN_PROBE(IIPPTZApiEx, IsPtzSupported, 1)
ZARN_PROBE(IIPPTZApiEx, Move, 2)
ZARN_PROBE(IIPPTZApiEx, Stop, 3)
ZARN_PROBE(IIPPTZApiEx, Center, 4)
ZARN_PROBE(IIPPTZApiEx, ZoomIn, 5)
ZARN_PROBE(IIPPTZApiEx, ZoomOut, 6)
ZARN_PROBE(IIPPTZApiEx, Unzoom, 7)
ZARN_PROBE(IIPPTZApiEx, AreaZoom, 8)
ZARN_PROBE(IIPPTZApiEx, FocusNear, 9)
ZARN_PROBE(IIPPTZApiEx, FocusFar, 10)
ZARN_PROBE(IIPPTZApiEx, IrisOpen, 11)
ZARN_PROBE(IIPPTZApiEx, IrisClose, 12)
ZARN_PROBE(IIPPTZApiEx, GetCapabilities, 13)
ZARN_PROBE(IIPPTZApiEx, GetPresetCount, 14)
ZARN_PROBE(IIPPTZApiEx, GetPresetName, 15)
ZARN_PROBE(IIPPTZApiEx, GotoPreset, 16)
ZARN_PROBE(IIPPTZApiEx, AddPreset, 17)
ZARN_PROBE(IIPPTZApiEx, DeletePreset, 18)
ZARN_PROBE(IIPPTZApiEx, GetCurrentPresetName, 19)
ZARN_PROBE(IIPPTZApiEx, MapValue, 20)
ZARN_PROBE(IIPParams, ScalarDeletingDestructor, 0)
ZARN_PROBE(IIPParams, GetChannel, 1)
ZARN_PROBE(IIPParams, GetOption1, 2)
ZARN_PROBE(IIPParams, SetOption1, 3)
ZARN_PROBE(IIPParams, GetOption2, 4)
ZARN_PROBE(IIPParams, SetOption2, 5)
