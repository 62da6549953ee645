// CHoltFileBase: bounded reads and the steps of an atomic write. The operating system's calls are
// in holt_file_base_backend.h.
#include "xml/holt_file_base.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

#include "xml/holt_file_base_backend.h"

namespace backend = holt_file_backend;

namespace {

constexpr int kTempNameAttempts = 100;

std::mutex gHookMutex;
std::function<bool(const std::string&)> gBeforeRenameHook;  // guarded by gHookMutex
std::atomic<uint32_t> gTempCounter{0};

// A fresh name beside `path`, so that the rename stays within one file system:
// "<path>.tmp<process id>.<counter>". When that would make a path that fits Windows' plain path
// limit too long for it, the name is "~" and hexadecimal digits instead, no longer than the file's
// own name (CreateExclusive tells whether it is free).
std::string TempPathFor(const std::string& path) {
    const uint32_t counter = gTempCounter.fetch_add(1, std::memory_order_relaxed);
    const uint32_t pid = backend::ProcessId();
    std::string temp = path + ".tmp" + std::to_string(pid) + "." + std::to_string(counter);
    if (temp.size() <= CHoltFileBase::kMaxPlainPath || path.size() > CHoltFileBase::kMaxPlainPath) {
        return temp;
    }
    const size_t separator = path.find_last_of("/\\");
    const size_t folder = separator == std::string::npos ? 0 : separator + 1;
    const size_t digits = std::min<size_t>(path.size() - folder, 9) - 1;
    static const char kHex[] = "0123456789abcdef";
    uint32_t value = counter * 2654435761u ^ pid;  // spread, so that short names differ early
    temp = path.substr(0, folder) + "~";
    for (size_t i = 0; i < digits; ++i, value >>= 4) temp += kHex[value & 0xF];
    return temp;
}

bool RunBeforeRenameHook(const std::string& tempPath) {
    std::function<bool(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> guard(gHookMutex);
        hook = gBeforeRenameHook;
    }
    return !hook || hook(tempPath);
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
    handle_ = backend::OpenForRead(path);
    return handle_ != kNoHandle;
}

int64_t CHoltFileBase::GetSize() const {
    if (handle_ == kNoHandle) return -1;
    return backend::Size(handle_);
}

bool CHoltFileBase::ReadAll(std::string& out, uint64_t maxSize) {
    out.clear();
    const int64_t size = GetSize();
    if (size < 0 || static_cast<uint64_t>(size) > maxSize) return false;
    if (!backend::Rewind(handle_)) return false;
    out.reserve(static_cast<size_t>(size));
    char buffer[8192];
    for (;;) {
        const int64_t got = backend::Read(handle_, buffer, sizeof(buffer));
        if (got < 0) {
            out.clear();
            return false;
        }
        if (got == 0) break;
        if (out.size() + static_cast<uint64_t>(got) > maxSize) {  // grew while being read
            out.clear();
            return false;
        }
        out.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

void CHoltFileBase::Close() {
    if (handle_ != kNoHandle) {
        backend::Close(handle_);
        handle_ = kNoHandle;
    }
}

bool CHoltFileBase::WriteAtomically(const std::string& path, const std::string& data, int* error) {
    auto fail = [error](int code) {
        if (error != nullptr) *error = code != 0 ? code : backend::IoError();
        return false;
    };
    if (path.empty()) return fail(backend::InvalidPathError());

    // Exclusive creation guarantees we never write into a file somebody else uses.
    std::string tempPath;
    intptr_t handle = kNoHandle;
    int code = 0;
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = TempPathFor(path);
        code = backend::CreateExclusive(tempPath, handle);
        if (code == 0 || !backend::NameTaken(code)) break;
    }
    if (code != 0) return fail(code);

    backend::KeepPermissions(path, handle);
    code = backend::WriteAll(handle, data.data(), data.size());
    if (code == 0) code = backend::Flush(handle);
    const int closed = backend::CloseWritten(handle);
    if (code == 0) code = closed;
    if (code == 0 && !RunBeforeRenameHook(tempPath)) code = backend::IoError();
    if (code == 0) code = backend::RenameReplacing(tempPath, path);
    if (code != 0) {
        backend::RemoveFile(tempPath);
        return fail(code);
    }
    return true;
}

bool CHoltFileBase::ExistsNonEmpty(const std::string& path) {
    return !path.empty() && backend::IsNonEmptyFile(path);
}

bool CHoltFileBase::Replace(const std::string& from, const std::string& to) {
    if (from.empty() || to.empty()) return false;
    return backend::RenameReplacing(from, to) == 0;
}

bool CHoltFileBase::MoveToNewName(const std::string& from, const std::string& to, bool* taken) {
    if (taken != nullptr) *taken = false;
    if (from.empty() || to.empty()) return false;
    const int error = backend::RenameNew(from, to);
    if (taken != nullptr) *taken = error != 0 && backend::NameTaken(error);
    return error == 0;
}

void CHoltFileBase::SetBeforeRenameHookForTesting(
    std::function<bool(const std::string& tempPath)> hook) {
    std::lock_guard<std::mutex> guard(gHookMutex);
    gBeforeRenameHook = std::move(hook);
}
