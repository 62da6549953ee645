// CPresetFileRegistry: the cameras this process has opened, by preset file name, for deciding
// whether a preset file of the earlier naming can be taken over.
//
// The earlier name was the camera's address with its dots removed, so cameras such as 192.168.1.11
// and 192.168.11.1 (on one port) shared one file. A file of that name may be taken over by a
// camera only when no other camera this process has opened maps to the same earlier name: then it
// can only have been this camera's. Cameras are remembered for the life of the process (an old
// file is never given to one camera once another that could own it has been seen).
//
// Threads: any; the registry has its own lock.
#pragma once

#include <cstddef>
#include <string>

namespace talvane {

class CPresetFileRegistry {
public:
    // Most cameras remembered; beyond them no earlier file is taken over by a camera not seen yet.
    static constexpr size_t kMaxCameras = 65536;

    // A camera with preset file `fileName`, whose earlier file name was `legacyName`, was opened.
    static void Note(const std::string& fileName, const std::string& legacyName);
    // True when the camera of `fileName` was noted and no camera with another file name was noted
    // with the same earlier name.
    static bool OnlyCameraWithLegacyName(const std::string& fileName,
                                         const std::string& legacyName);
};

}  // namespace talvane
