// Writes an RGB picture as an 8-bit PNG file with libpng. The file is written under a temporary
// name in the same folder and renamed over the target, so a reader never sees half a picture.
#pragma once

#include <string>

#include "h264_decoder.h"

namespace zarnhost {

// Empty on success, otherwise the reason.
std::string WritePng(const std::string& path, const RgbPicture& picture);

}  // namespace zarnhost
