// Encoder configuration parsing of the virtual camera: the AVConfig request parameters turned into
// a bounded StreamConfig. Pure functions; callable from any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "camsim.h"

namespace zarncam {

// Applies the parameters of "/cgi-bin/AVConfig.cgi?Action=Set&..." to a copy of current.
// Missing or non-numeric parameters keep their current value; numbers are clamped to the
// ranges documented on StreamConfig; an unknown resolution code selects the mode's default size.
StreamConfig ApplyAvConfig(const StreamConfig& current,
                           const std::vector<std::pair<std::string, std::string>>& query, bool hd);

// "Key=Value\r\n" lines describing a configuration (the answer of AVConfig Action=Get).
std::string DescribeStreamConfig(const StreamConfig& config);

}  // namespace zarncam
