// CHoltFileBase: a minimal file wrapper used by the XML settings document. It checks that a
// settings file exists and is not empty, reads it whole (bounded), and writes whole files
// atomically: the new content goes to a temporary file in the same folder, is flushed to disk and
// is then renamed over the old file, so a crash leaves either the old or the new file, never a
// half-written one.
//
// An object is used by one thread at a time; the static functions may be called from any thread.
//
// holt_file_base.cpp holds the logic (bounds, the steps of an atomic write, the test hook); the
// operating system's calls live in holt_file_base_posix.cpp and holt_file_base_win.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CHoltFileBase {
public:
    CHoltFileBase() = default;
    CHoltFileBase(const CHoltFileBase&) = delete;
    CHoltFileBase& operator=(const CHoltFileBase&) = delete;
    virtual ~CHoltFileBase();

    // Opens an existing file for reading (others may read and write it meanwhile). False for a
    // null or empty path or when the file cannot be opened.
    bool OpenForRead(const char* path);
    // Size of the open file in bytes; -1 when no file is open or the size cannot be read.
    int64_t GetSize() const;
    // Reads the whole open file into `out`. False when no file is open, the file is larger than
    // `maxSize`, or a read fails.
    bool ReadAll(std::string& out, uint64_t maxSize);
    void Close();
    bool IsOpen() const { return handle_ != kNoHandle; }
    const std::string& Path() const { return path_; }

    // Replaces the file at `path` with `data` atomically (temporary file, flush, rename). On
    // failure the old file is untouched, the temporary file is removed, `*error` (when given) gets
    // the system's error number (errno on Linux, the Win32 error code on Windows) and the result
    // is false.
    static bool WriteAtomically(const std::string& path, const std::string& data, int* error);

    // True when `path` names an existing regular file with at least one byte.
    static bool ExistsNonEmpty(const std::string& path);
    // Renames `from` to `to`, replacing `to` when it exists. False on failure.
    static bool Replace(const std::string& from, const std::string& to);
    // Renames `from` to `to` unless `to` exists. False when it does (*taken, when given, is then
    // true) or the rename failed.
    static bool MoveToNewName(const std::string& from, const std::string& to,
                              bool* taken = nullptr);

    // Longest path Windows takes without the long-path prefix (MAX_PATH less the terminator): a
    // temporary name never makes a path of at most this length longer than it.
    static constexpr size_t kMaxPlainPath = 259;

    // Tests only: called by WriteAtomically after the temporary file is written and flushed and
    // before it is renamed, with the temporary file's path. Returning false makes the write fail
    // at that point, as a crash or a full disk would. An empty function removes the hook.
    static void SetBeforeRenameHookForTesting(
        std::function<bool(const std::string& tempPath)> hook);

    // The platform's file handle as stored (a descriptor on Linux, a HANDLE on Windows); this
    // value is never a valid handle on either.
    static constexpr intptr_t kNoHandle = -1;

private:
    std::string path_;
    intptr_t handle_ = kNoHandle;
    bool readMode_ = false;
};
