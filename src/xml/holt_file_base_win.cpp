// Win32 file calls for CHoltFileBase. Paths are in the system's 8-bit code page (the A calls).
#include <windows.h>

#include "xml/holt_file_base.h"
#include "xml/holt_file_base_backend.h"

namespace holt_file_backend {
namespace {

// The largest piece one ReadFile or WriteFile call moves.
constexpr DWORD kMaxPiece = 1u << 20;

// A virus scanner or indexer that has just opened the target makes a rename fail for a moment;
// such a rename is tried again a few times before it counts as failed.
constexpr int kRenameAttempts = 10;
constexpr DWORD kRenameRetryMs = 20;

HANDLE ToHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

int LastError() {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE);
}

}  // namespace

intptr_t OpenForRead(const char* path) {
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return CHoltFileBase::kNoHandle;
    // Folders do not open this way; devices and pipes do, and are refused here.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(file);
        return CHoltFileBase::kNoHandle;
    }
    return reinterpret_cast<intptr_t>(file);
}

int64_t Size(intptr_t handle) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(ToHandle(handle), &size)) return -1;
    return static_cast<int64_t>(size.QuadPart);
}

bool Rewind(intptr_t handle) {
    LARGE_INTEGER start{};
    return SetFilePointerEx(ToHandle(handle), start, nullptr, FILE_BEGIN) != 0;
}

int64_t Read(intptr_t handle, char* buffer, size_t size) {
    const DWORD piece = size < kMaxPiece ? static_cast<DWORD>(size) : kMaxPiece;
    DWORD got = 0;
    if (!ReadFile(ToHandle(handle), buffer, piece, &got, nullptr)) return -1;
    return static_cast<int64_t>(got);
}

void Close(intptr_t handle) {
    CloseHandle(ToHandle(handle));
}

int CreateExclusive(const std::string& path, intptr_t& handle) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError();
    handle = reinterpret_cast<intptr_t>(file);
    return 0;
}

bool NameTaken(int error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

void KeepPermissions(const std::string& path, intptr_t handle) {
    // Access rights and owner go over with ReplaceFileA (RenameReplacing); the attributes a user
    // may have set (hidden, system, archive, not indexed) are copied here, since not every
    // ReplaceFileA carries them. A read-only file cannot be replaced at all.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    FILE_BASIC_INFO info{};  // zero times and attributes: left as they are
    info.FileAttributes =
        attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    if (info.FileAttributes == 0) return;
    SetFileInformationByHandle(ToHandle(handle), FileBasicInfo, &info, sizeof(info));
}

int WriteAll(intptr_t handle, const char* data, size_t size) {
    while (size > 0) {
        const DWORD piece = size < kMaxPiece ? static_cast<DWORD>(size) : kMaxPiece;
        DWORD written = 0;
        if (!WriteFile(ToHandle(handle), data, piece, &written, nullptr)) return LastError();
        if (written == 0) return static_cast<int>(ERROR_WRITE_FAULT);
        data += written;
        size -= written;
    }
    return 0;
}

int Flush(intptr_t handle) {
    return FlushFileBuffers(ToHandle(handle)) ? 0 : LastError();
}

int CloseWritten(intptr_t handle) {
    return CloseHandle(ToHandle(handle)) ? 0 : LastError();
}

// An existing file is replaced with ReplaceFileA, which gives the replacement the replaced file's
// access rights and owner; a missing one is simply renamed to. Where ReplaceFileA cannot work (a
// file system or share without its support) the rename replaces the file instead.
int RenameReplacing(const std::string& from, const std::string& to) {
    for (int attempt = 1;; ++attempt) {
        bool replaced = false;
        if (GetFileAttributesA(to.c_str()) != INVALID_FILE_ATTRIBUTES) {
            replaced = ReplaceFileA(to.c_str(), from.c_str(), nullptr, REPLACEFILE_WRITE_THROUGH,
                                    nullptr, nullptr) != FALSE;
            const int error = replaced ? 0 : LastError();
            if (!replaced && error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION &&
                error != ERROR_LOCK_VIOLATION) {
                replaced = MoveFileExA(from.c_str(), to.c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
            }
        } else {
            replaced = MoveFileExA(from.c_str(), to.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
        }
        if (replaced) return 0;
        const int error = LastError();
        const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
                          error == ERROR_LOCK_VIOLATION;
        if (!busy || attempt >= kRenameAttempts) return error;
        Sleep(kRenameRetryMs);
    }
}

int RenameNew(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? 0 : LastError();
}

void RemoveFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

bool IsNonEmptyFile(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    return info.nFileSizeHigh != 0 || info.nFileSizeLow != 0;
}

uint32_t ProcessId() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

int InvalidPathError() {
    return static_cast<int>(ERROR_INVALID_PARAMETER);
}

int IoError() {
    return static_cast<int>(ERROR_WRITE_FAULT);
}

}  // namespace holt_file_backend
