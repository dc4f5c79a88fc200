// File-system vocabulary of the program: path texts, directory chains, deletion, sizes, unique
// temporary names and free space. Paths are wide texts with '/' as the separator; the platform
// calls receive them as UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "kernel/ZelkTypes.h"

class ConfinedDirectory;

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

// Names from outside ----------------------------------------------------------------------------

// Archive records, list entries and repair records name files below a directory. They come from
// downloaded data, so they are bounded before anything is stored, joined or created for them: at
// most 32,768 UTF-16 units (a little more than the longest path Windows itself takes) and 256
// levels (no installation comes near). A name beyond either bound is damage, not a file.
constexpr size_t kMaxUntrustedNameUnits = 32768;
constexpr size_t kMaxUntrustedNameDepth = 256;
// True when name, with either separator, is within both bounds.
bool IsWithinUntrustedNameBounds(const std::wstring &name);
// True when name, with either separator, stays inside the directory it is joined to: not empty,
// not absolute, no drive letter, no ".." component and no NUL.
bool IsContainedRelativeName(const std::wstring &name);

// File system -----------------------------------------------------------------------------------

// Creates the directory and its missing parents. False for an empty path and for a path that
// names an existing file (errno EEXIST, no log line); a failed creation is logged. A path longer
// than the system can hold is refused, and logged, before any level of it is made.
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

// Whole files ------------------------------------------------------------------------------------

// A file that replaces its target whole or not at all. The content goes to a new file beside the
// target (the same directory, so that the rename cannot cross file systems); Commit puts it on the
// disk, renames it over the target and syncs the directory, so that a crash or a power cut at any
// moment leaves the old file or the new one, never a mix or an empty file. A replacement that is
// not committed (a failed write, an early return) removes its file and leaves the target as it
// was. The new file starts with an existing target's permission bits (and owner, for root).
// After a failure errno tells why.
class ReplacementFile
{
public:
    explicit ReplacementFile(const std::wstring &target);
    // The target name resolved beneath a confined directory: a link that stays inside is followed
    // and the file it leads to replaced, one that leads outside fails here (errno
    // kNameLeadsOutside) before anything is made.
    ReplacementFile(const ConfinedDirectory &directory, const std::wstring &name);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile &) = delete;
    ReplacementFile &operator=(const ReplacementFile &) = delete;

    // False when the new file could not be made; nothing else works then.
    bool IsOpen() const;
    const std::wstring &Target() const { return m_target; }
    // The new file, for writers that fill it through file objects of their own; they must have
    // closed them before Commit. Empty beneath a confined directory, whose files are reached only
    // through it.
    const std::wstring &TemporaryPath() const { return m_temporary; }

    // Appends to the new file.
    bool Write(const void *data, size_t size);
    bool Write(const std::string &bytes);
    // A stdio stream on the new file, owned by the replacement (Commit flushes and closes it).
    std::FILE *Stream();

    // Flushes the new file to the disk and renames it over the target. False (the target
    // untouched, the new file gone) when any of it fails.
    bool Commit();
    // Removes the new file; the target stays as it was.
    void Discard();

private:
    // What an existing target hands on to its replacement.
    struct Inherited
    {
        uint32_t owner;
        uint32_t group;
        uint32_t permissions;
    };
    // Makes the new file beside leaf in directory (a descriptor the object owns from here on).
    void Begin(int directory, const std::string &leaf, const Inherited *inherited, bool showTemporary);

    std::wstring m_target;
    std::wstring m_temporary;
    // The directory that holds the target, and the native names of the target and the new file
    // in it: every step after the first goes through the directory, not its path.
    int m_directory = -1;
    std::string m_leaf;
    std::string m_temporaryLeaf;
    int m_descriptor = -1;
    std::FILE *m_stream = nullptr;
};

// The whole-buffer form: path holds exactly bytes afterwards, or is left as it was.
bool WriteWholeFile(const std::wstring &path, const std::string &bytes);
bool WriteWholeFile(const ConfinedDirectory &directory, const std::wstring &name, const std::string &bytes);
// Removes the files that replacements of target left behind when their process died. Only for a
// caller that knows no other replacement of target is under way (it holds a lock on it).
void RemoveAbandonedReplacements(const std::wstring &target);
void RemoveAbandonedReplacements(const ConfinedDirectory &directory, const std::wstring &name);
// Reads the whole file. ZELKRESULT_IO (errno says why; ENOENT for a missing file) when it cannot
// be read or is no regular file, ZELKRESULT_NO_MEMORY when it holds more than limit bytes;
// bytes is empty on failure.
ZELKRESULT ReadWholeFile(const std::wstring &path, std::string &bytes, uint64_t limit);

// Temporary files and free space ---------------------------------------------------------------

// TEMP, else TMPDIR, else /tmp.
std::wstring TempBaseDirectory();
// The run's private directory (mode 0700) inside the temporary base, made once per process on
// first use; every temporary file and directory of the run lives inside it. Empty when it cannot
// be made.
std::wstring RunTempDirectory();
// Removes the run's private directory with its contents (at exit).
void RemoveRunTempDirectory();
// True when path (native, absolute) lies inside the run's private directory; makes none.
bool IsInRunTempDirectory(const std::string &path);
// Bytes available to the caller on the volume of path; false when it cannot be read.
bool GetFreeDiskSpace(const std::wstring &path, uint64_t &bytes);
// path when it exists, else its nearest parent that does ("/" at worst): the directory a
// question about a volume or rights can be asked of before anything is made.
std::wstring NearestExistingDirectory(const std::wstring &path);
// Whether the process may create entries in the directory at path.
bool MayCreateIn(const std::wstring &directory);
// The same volume holds both paths (both must exist).
bool SameVolume(const std::wstring &first, const std::wstring &second);

// Private files ---------------------------------------------------------------------------------

// Creates a file that must not exist yet (nor a link in its place), with the mode from its first
// moment, holds bytes and is on the disk when this returns true; a failure leaves no file behind.
bool CreateNewFile(const std::wstring &path, const std::string &bytes, uint32_t mode);
// CreateNewFile readable and writable by its owner only: for secrets such as private keys.
bool CreatePrivateFile(const std::wstring &path, const std::string &bytes);
