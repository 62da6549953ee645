// Scratch files in the host program's folder (the test binary's folder), where settings and
// preset files live. Names are unique per process and call; everything made under a name
// (the file, "<name>.damaged", leftover "<name>.tmp*" files) is removed when the object goes.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace zarntest {

class HostFolderFiles {
public:
    HostFolderFiles() = default;
    HostFolderFiles(const HostFolderFiles&) = delete;
    HostFolderFiles& operator=(const HostFolderFiles&) = delete;
    ~HostFolderFiles() {
        for (const std::string& name : names_) {
            for (const std::string& path : Related(name)) {
                std::error_code ignored;
                std::filesystem::remove(path, ignored);
            }
        }
    }

    // A new unique file name (no folder) that does not exist yet.
    std::string NewName(const std::string& stem, const std::string& extension) {
        static std::atomic<unsigned> counter{0};
        std::string name = stem + "_" + std::to_string(::getpid()) + "_" +
                           std::to_string(counter.fetch_add(1)) + extension;
        names_.push_back(name);
        return name;
    }

    static std::string Folder() { return talvane::platform::HostProgramDirectory(); }
    static std::string PathOf(const std::string& name) { return Folder() + name; }

    static bool Exists(const std::string& name) { return std::filesystem::exists(PathOf(name)); }
    static std::string Read(const std::string& name) {
        std::ifstream in(PathOf(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void Write(const std::string& name, const std::string& content) {
        std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
        out << content;
    }
    // Full paths of "<name>.tmp*" files in the folder.
    static std::vector<std::string> TempFiles(const std::string& name) {
        std::vector<std::string> found;
        std::error_code error;
        for (const auto& item : std::filesystem::directory_iterator(Folder(), error)) {
            const std::string file = item.path().filename().string();
            if (file.rfind(name + ".tmp", 0) == 0) found.push_back(item.path().string());
        }
        return found;
    }

private:
    static std::vector<std::string> Related(const std::string& name) {
        std::vector<std::string> paths = TempFiles(name);
        paths.push_back(PathOf(name));
        paths.push_back(PathOf(name) + ".damaged");
        for (int i = 1; i < 10; ++i)
            paths.push_back(PathOf(name) + ".damaged." + std::to_string(i));
        return paths;
    }

    std::vector<std::string> names_;
};

}  // namespace zarntest
