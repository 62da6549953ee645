// What each platform file (holt_file_base_posix.cpp, holt_file_base_win.cpp) supplies to
// holt_file_base.cpp: the operating system's file calls, nothing more. Handles are the platform's
// handles stored in an intptr_t, CHoltFileBase::kNoHandle for none. Functions that return an int
// return 0 for success or the platform's error number (errno, Win32 error code). All functions
// may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace holt_file_backend {

// Opens an existing regular file for reading, letting others read, write, rename and delete it
// meanwhile. kNoHandle when the file cannot be opened or is not a regular file.
intptr_t OpenForRead(const char* path);
// Size of the open file in bytes; -1 when it cannot be read.
int64_t Size(intptr_t handle);
// Moves to the start of the file; false on failure.
bool Rewind(intptr_t handle);
// Reads up to `size` bytes: the number read, 0 at the end of the file, -1 on failure.
int64_t Read(intptr_t handle, char* buffer, size_t size);
void Close(intptr_t handle);

// Creates `path` for writing; fails when it exists (see NameTaken).
int CreateExclusive(const std::string& path, intptr_t& handle);
// True when CreateExclusive's error means "try another name".
bool NameTaken(int error);
// Gives the new file the permissions of the file at `path` it is going to replace, where the
// platform keeps them per file. Best effort.
void KeepPermissions(const std::string& path, intptr_t handle);
int WriteAll(intptr_t handle, const char* data, size_t size);
// Flushes the file's data to the disk.
int Flush(intptr_t handle);
// Closes a handle of CreateExclusive, reporting a failure to write buffered data.
int CloseWritten(intptr_t handle);
// Renames `from` to `to`, replacing `to` when it exists, and makes the rename durable. A file that
// is replaced keeps what the platform keeps per file (on Windows its access rights, owner and
// attributes).
int RenameReplacing(const std::string& from, const std::string& to);
// Renames `from` to `to`, failing (NameTaken) when `to` exists.
int RenameNew(const std::string& from, const std::string& to);
void RemoveFile(const std::string& path);

// True when `path` names an existing regular file with at least one byte.
bool IsNonEmptyFile(const std::string& path);
uint32_t ProcessId();

// Error numbers for failures the platform did not describe.
int InvalidPathError();
int IoError();

}  // namespace holt_file_backend
