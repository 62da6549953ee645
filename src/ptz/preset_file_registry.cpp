#include "ptz/preset_file_registry.h"

#include <map>
#include <mutex>
#include <set>

namespace talvane {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::set<std::string>> byLegacyName;  // earlier name -> file names
    size_t cameras = 0;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

void CPresetFileRegistry::Note(const std::string& fileName, const std::string& legacyName) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& names = registry.byLegacyName[legacyName];
    if (names.count(fileName) != 0 || registry.cameras >= kMaxCameras) return;
    names.insert(fileName);
    ++registry.cameras;
}

bool CPresetFileRegistry::OnlyCameraWithLegacyName(const std::string& fileName,
                                                   const std::string& legacyName) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.byLegacyName.find(legacyName);
    return found != registry.byLegacyName.end() && found->second.size() == 1 &&
           found->second.count(fileName) == 1;
}

}  // namespace talvane
