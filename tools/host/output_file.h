// Checks made on output files (the recording, the snapshot) before a run starts, so that a typo in
// a folder name is reported at once rather than after minutes of streaming.
#pragma once

#include <string>

namespace zarnhost {

// Empty when `path` can be written: an existing file that may be written (it is left as it is),
// or a new file in an existing folder that may be written (created and removed again). Otherwise
// one line saying why not.
std::string CheckCanCreate(const std::string& path);

// True when `path` ends in `extension` (".png"), compared without regard to case.
bool HasExtension(const std::string& path, const std::string& extension);

}  // namespace zarnhost
