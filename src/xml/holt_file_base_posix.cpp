// POSIX file access for the XML settings document.
#include "xml/holt_file_base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <utility>

namespace {

std::mutex gHookMutex;
std::function<bool(const std::string&)> gBeforeRenameHook;  // guarded by gHookMutex
std::atomic<uint32_t> gTempCounter{0};

bool WriteFully(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Flushes the folder holding `path`, so that a rename survives a power loss. Best effort.
void SyncFolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

CHoltFileBase::~CHoltFileBase() {
    Close();
}

bool CHoltFileBase::OpenForRead(const char* path) {
    if (path == nullptr || *path == '\0') return false;
    Close();
    path_ = path;
    readMode_ = true;
    do {
        handle_ = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (handle_ < 0 && errno == EINTR);
    if (handle_ < 0) return false;
    struct stat info {};
    if (::fstat(handle_, &info) != 0 || !S_ISREG(info.st_mode)) {
        Close();
        return false;
    }
    return true;
}

int64_t CHoltFileBase::GetSize() const {
    if (handle_ < 0) return -1;
    struct stat info {};
    if (::fstat(handle_, &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool CHoltFileBase::ReadAll(std::string& out, uint64_t maxSize) {
    out.clear();
    const int64_t size = GetSize();
    if (size < 0 || static_cast<uint64_t>(size) > maxSize) return false;
    if (::lseek(handle_, 0, SEEK_SET) != 0) return false;
    out.reserve(static_cast<size_t>(size));
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(handle_, buffer, sizeof(buffer));
        if (got < 0) {
            if (errno == EINTR) continue;
            out.clear();
            return false;
        }
        if (got == 0) break;
        if (out.size() + static_cast<size_t>(got) > maxSize) {  // grew while being read
            out.clear();
            return false;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

void CHoltFileBase::Close() {
    if (handle_ >= 0) {
        ::close(handle_);
        handle_ = -1;
    }
}

bool CHoltFileBase::WriteAtomically(const std::string& path, const std::string& data, int* error) {
    auto fail = [error](int code) {
        if (error != nullptr) *error = code != 0 ? code : EIO;
        return false;
    };
    if (path.empty()) return fail(EINVAL);

    // A fresh name in the same folder (so the rename stays within one file system). O_EXCL
    // guarantees we never write into a file somebody else uses.
    std::string tempPath;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof(suffix), ".tmp%ld.%u", static_cast<long>(::getpid()),
                      gTempCounter.fetch_add(1, std::memory_order_relaxed));
        tempPath = path + suffix;
        fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST && errno != EINTR) return fail(errno);
    }
    if (fd < 0) return fail(EEXIST);

    // Keep the permissions of the file being replaced.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        ::fchmod(fd, old.st_mode & 07777);
    }

    int code = 0;
    if (!WriteFully(fd, data.data(), data.size())) {
        code = errno;
    } else if (::fsync(fd) != 0) {
        code = errno;
    }
    if (::close(fd) != 0 && code == 0) code = errno;
    if (code == 0) {
        std::function<bool(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> guard(gHookMutex);
            hook = gBeforeRenameHook;
        }
        if (hook && !hook(tempPath)) code = EIO;
    }
    if (code == 0 && ::rename(tempPath.c_str(), path.c_str()) != 0) code = errno;
    if (code != 0) {
        ::unlink(tempPath.c_str());
        return fail(code);
    }
    SyncFolderOf(path);
    return true;
}

bool CHoltFileBase::ExistsNonEmpty(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

bool CHoltFileBase::Replace(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    SyncFolderOf(to);
    return true;
}

void CHoltFileBase::SetBeforeRenameHookForTesting(
    std::function<bool(const std::string& tempPath)> hook) {
    std::lock_guard<std::mutex> guard(gHookMutex);
    gBeforeRenameHook = std::move(hook);
}
