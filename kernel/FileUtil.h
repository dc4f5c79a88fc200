// File-system vocabulary of the program: path texts, directory chains, deletion, sizes, unique
// temporary names and free space. Paths are wide texts with '/' as the separator; the platform
// calls receive them as UTF-8.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "kernel/ZelkTypes.h"

constexpr wchar_t kPathSeparator = L'/';

// Path text -----------------------------------------------------------------------------------

// Replaces every '/' and '\' in place with separator.
void NormalizeSeparators(std::wstring &path, wchar_t separator = kPathSeparator);
// second without its leading separators, appended to first with one '/' unless first is empty
// or already ends in a separator. Also used for network addresses.
std::wstring JoinPath(const std::wstring &first, const std::wstring &second);
// The rest of path after the part it shares with base (and one separator).
std::wstring RelativePath(const std::wstring &path, const std::wstring &base);
std::string FileNamePart(const std::wstring &path);
std::string StripExtension(const std::wstring &path);
std::string GetExtension(const std::wstring &path);
std::string SanitizeFileName(const std::string &text);
// The output that carries the text is written last, so one variable may serve as whole and as
// before or after (the address parser splits "rest" into "user part" and "rest").
bool SplitAtFirst(const std::string &text, const std::string &separator, std::string &before, std::string &after,
                  std::string &whole);
std::string FormatText(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::wstring FormatTextW(const wchar_t *format, ...);

// File system -----------------------------------------------------------------------------------

// Creates the directory and its missing parents. False for an empty path and for a path that
// names an existing file (errno EEXIST, no log line); a failed creation is logged.
bool MakeDirectory(const std::wstring &path);
// Deletes the tree; stops at the first subdirectory that cannot be removed.
bool DeleteTree(const std::wstring &directory);
bool DeleteFileAt(const std::wstring &path);
// Moves a file that is not read-only; never replaces an existing destination.
bool MoveFileAt(const std::wstring &from, const std::wstring &to);
// Renames, replacing an existing destination atomically (same file system).
bool ReplaceFileAt(const std::wstring &from, const std::wstring &to);
// Copies with overwrite; the copy keeps the source's permission bits.
bool CopyFileAt(const std::wstring &from, const std::wstring &to);
bool FileExists(const std::wstring &path);
bool IsDirectory(const std::wstring &path);
// Read-only means: no write permission for the owner.
bool IsReadOnly(const std::wstring &path);
bool SetReadOnly(const std::wstring &path);
bool ClearReadOnly(const std::wstring &path);
ZELKRESULT GetFileSizeAt(const std::wstring &path, uint64_t &size);
ZELKRESULT GetFileModifiedTime(const std::wstring &path, int64_t &seconds);
// JoinPath(base, "file%u") with a process-wide counter seeded from the monotonic clock.
std::wstring MakeUniqueName(const std::wstring &base);
// Every entry but "." and "..", joined to directory, sorted by code unit.
ZELKRESULT ListDirectory(const std::wstring &directory, std::set<std::wstring> &entries);

// Temporary files and free space ---------------------------------------------------------------

// TEMP, else TMPDIR, else /tmp.
std::wstring TempBaseDirectory();
// The run's private directory (mode 0700) inside the temporary base, made once per process on
// first use; every temporary file and directory of the run lives inside it. Empty when it cannot
// be made.
std::wstring RunTempDirectory();
// Removes the run's private directory with its contents (at exit).
void RemoveRunTempDirectory();
// Bytes available to the caller on the volume of path; false when it cannot be read.
bool GetFreeDiskSpace(const std::wstring &path, uint64_t &bytes);
