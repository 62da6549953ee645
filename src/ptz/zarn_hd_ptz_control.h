// CZarnHDPTZControl: the PTZ control of the Zarn HD camera family. Adds only the factory of its
// command object (CZarnHDPTZComm with the family's default capabilities). Threads and ownership as
// CBasePTZControl.
#pragma once

#include "ptz/base_ptz_control.h"

namespace talvane {

class CZarnHDPTZControl final : public CBasePTZControl {
public:
    CZarnHDPTZControl(IDriver* owner, int32_t channel);
    ~CZarnHDPTZControl() override;

    CBasePTZComm* CreateComm() override;
};

}  // namespace talvane
