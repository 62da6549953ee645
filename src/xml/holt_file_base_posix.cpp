// POSIX file calls for CHoltFileBase.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "xml/holt_file_base.h"
#include "xml/holt_file_base_backend.h"

namespace holt_file_backend {
namespace {

int Descriptor(intptr_t handle) {
    return static_cast<int>(handle);
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

intptr_t OpenForRead(const char* path) {
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return CHoltFileBase::kNoHandle;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return CHoltFileBase::kNoHandle;
    }
    return fd;
}

int64_t Size(intptr_t handle) {
    struct stat info {};
    if (::fstat(Descriptor(handle), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool Rewind(intptr_t handle) {
    return ::lseek(Descriptor(handle), 0, SEEK_SET) == 0;
}

int64_t Read(intptr_t handle, char* buffer, size_t size) {
    for (;;) {
        const ssize_t got = ::read(Descriptor(handle), buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

void Close(intptr_t handle) {
    ::close(Descriptor(handle));
}

int CreateExclusive(const std::string& path, intptr_t& handle) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    handle = fd;
    return 0;
}

bool NameTaken(int error) {
    return error == EEXIST || error == EINTR;
}

void KeepPermissions(const std::string& path, intptr_t handle) {
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        ::fchmod(Descriptor(handle), old.st_mode & 07777);
    }
}

int WriteAll(intptr_t handle, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(Descriptor(handle), data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

int Flush(intptr_t handle) {
    return ::fsync(Descriptor(handle)) == 0 ? 0 : errno;
}

int CloseWritten(intptr_t handle) {
    return ::close(Descriptor(handle)) == 0 ? 0 : errno;
}

int RenameReplacing(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return errno;
    SyncFolderOf(to);
    return 0;
}

int RenameNew(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        return errno;
    }
    SyncFolderOf(to);
    return 0;
}

void RemoveFile(const std::string& path) {
    ::unlink(path.c_str());
}

bool IsNonEmptyFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0;
}

uint32_t ProcessId() {
    return static_cast<uint32_t>(::getpid());
}

int InvalidPathError() {
    return EINVAL;
}

int IoError() {
    return EIO;
}

}  // namespace holt_file_backend
