#include "output_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace zarnhost {

std::string CheckCanCreate(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path file(path);
    if (fs::is_directory(file, ec)) return "cannot write " + path + ": it is a folder";
    const bool existed = fs::exists(file, ec);
    if (!existed) {
        const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
        if (!fs::is_directory(folder, ec)) {
            return "cannot write " + path + ": the folder " + folder.string() + " does not exist";
        }
    }
    // "ab" neither truncates nor changes an existing file when nothing is written.
    std::FILE* f = std::fopen(path.c_str(), existed ? "ab" : "wb");
    if (f == nullptr) return "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(f);
    if (!existed) fs::remove(file, ec);
    return {};
}

bool HasExtension(const std::string& path, const std::string& extension) {
    if (path.size() <= extension.size()) return false;
    return std::equal(extension.begin(), extension.end(), path.end() - extension.size(),
                      [](char a, char b) {
                          return std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b));
                      });
}

}  // namespace zarnhost
