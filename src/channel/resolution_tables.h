// The camera's resolution codes: (width, height) -> value of the VideoResolution parameter, one
// table for standard-definition cameras and one for high-definition cameras. Built once, never
// changed; read by the H.264 channel and by the capability query.
#pragma once

#include <cstdint>
#include <map>
#include <utility>

namespace talvane {

using ResolutionTable = std::map<std::pair<uint16_t, uint16_t>, uint32_t>;

// 176x144 -> 8, 352x288 -> 4, 704x288 -> 64, 704x576 -> 128.
const ResolutionTable& StandardResolutionTable();
// 160x112 -> 8, 320x240 -> 4, 640x480 -> 128, 1280x720 -> 100, 1600x1200 -> 200.
const ResolutionTable& HighResolutionTable();

// Code sent for a size that is in neither table.
constexpr uint32_t kDefaultResolutionCode = 128;

// The code of (width, height) in the chosen table, or kDefaultResolutionCode.
uint32_t ResolutionCode(bool highDefinition, uint32_t width, uint32_t height);

}  // namespace talvane
