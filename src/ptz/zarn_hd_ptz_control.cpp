#include "ptz/zarn_hd_ptz_control.h"

#include <new>

#include "ptz/zarn_hd_ptz_comm.h"

namespace talvane {

CZarnHDPTZControl::CZarnHDPTZControl(IDriver* owner, int32_t channel)
    : CBasePTZControl(owner, channel) {}

CZarnHDPTZControl::~CZarnHDPTZControl() = default;

CBasePTZComm* CZarnHDPTZControl::CreateComm() {
    return new (std::nothrow)
        CZarnHDPTZComm(Owner(), CPtzCapabilities(), static_cast<uint16_t>(ChannelIndex()));
}

}  // namespace talvane
