// The Linux half of the file utilities.
#include "kernel/FileUtil.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "kernel/ConfinedDirectory.h"
#include "kernel/KernelStandard/FileDescriptor.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
std::string Native(std::wstring path)
{
    NormalizeSeparators(path);
    return PathToNative(path);
}

bool StatPath(const std::wstring &path, struct stat &info)
{
    return !path.empty() && stat(Native(path).c_str(), &info) == 0;
}

// Removes directory and everything below it; a link is removed itself, never followed. Each file
// goes through removeFile, which may refuse it. The walk stays in native names: a name on disk
// need not survive the way through a wide path.
template <typename RemoveFile>
bool RemoveTreeNative(const std::string &directory, RemoveFile removeFile)
{
    DIR *dir = opendir(directory.c_str());
    if (!dir)
        return false;
    while (dirent *entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string child = directory + "/" + name;
        struct stat info;
        if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        {
            if (!RemoveTreeNative(child, removeFile))
            {
                closedir(dir);
                return false;
            }
        }
        else
        {
            removeFile(child);
        }
    }
    closedir(dir);
    return rmdir(directory.c_str()) == 0;
}

// A file the owner may not write is read-only, as the Windows attribute would make it; unlink
// alone would not refuse it on Linux, so deletion honours the bit explicitly.
bool IsReadOnlyNative(const std::string &path)
{
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && !S_ISLNK(info.st_mode) && !(info.st_mode & S_IWUSR);
}

bool DeleteFileNative(const std::string &path)
{
    if (IsReadOnlyNative(path))
    {
        errno = EACCES;
        return false;
    }
    return unlink(path.c_str()) == 0;
}
} // namespace

bool MakeDirectory(const std::wstring &input)
{
    if (input.empty())
        return false;
    std::wstring path = input;
    NormalizeSeparators(path);
    if (path.size() > 1 && path.back() == kPathSeparator)
        path.pop_back();
    // One native text serves every level: a level is the text up to one of its separators, cut
    // off in place for the call. The walk neither recurses nor copies the path per level, so no
    // depth can exhaust the stack or the memory.
    std::string native = PathToNative(path);
    struct stat info;
    if (stat(native.c_str(), &info) == 0)
    {
        if (S_ISDIR(info.st_mode))
            return true;
        errno = EEXIST;
        return false;
    }
    // A path the system cannot hold is refused before any level of it is made.
    if (errno == ENAMETOOLONG)
    {
        ZelkSystemLog("MakeDirectory> CreateDirectoryW returned err %d", errno);
        return false;
    }
    const auto atLevel = [&native](size_t end, auto call) {
        const char kept = native[end];
        native[end] = '\0';
        const auto result = call(native.c_str());
        native[end] = kept;
        return result;
    };
    // Back from the end to the deepest level that exists; a file there ends the walk.
    size_t existing = 0;
    for (size_t end = native.rfind('/'); end != std::string::npos && end > 0; end = native.rfind('/', end - 1))
    {
        if (atLevel(end, [&info](const char *level) { return stat(level, &info); }) == 0)
        {
            if (!S_ISDIR(info.st_mode))
            {
                errno = EEXIST;
                return false;
            }
            existing = end;
            break;
        }
    }
    // Then forward, making each missing level; one made meanwhile by someone else is as good.
    for (size_t end = native.find('/', existing + 1); ; end = native.find('/', end + 1))
    {
        const size_t levelEnd = end == std::string::npos ? native.size() : end;
        const int made = atLevel(levelEnd, [](const char *level) { return mkdir(level, 0777); });
        if (made != 0 && errno != EEXIST)
        {
            ZelkSystemLog("MakeDirectory> CreateDirectoryW returned err %d", errno);
            return false;
        }
        if (end == std::string::npos)
            break;
    }
    return stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool DeleteTree(const std::wstring &directory)
{
    return !directory.empty() && RemoveTreeNative(Native(directory), DeleteFileNative);
}

bool DeleteFileAt(const std::wstring &path)
{
    return !path.empty() && DeleteFileNative(Native(path));
}

bool MoveFileAt(const std::wstring &from, const std::wstring &to)
{
    const std::string source = Native(from);
    const std::string target = Native(to);
    // The source must be a writable file that exists, as the exclusive open of the original
    // demands; a missing or read-only file moves nothing. Root may open a read-only file for
    // writing, so the bit is checked as well.
    if (IsReadOnlyNative(source))
        return false;
    const int fd = open(source.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    close(fd);
    // link + unlink never replaces an existing destination; fall back to a checked rename on
    // file systems without hard links.
    if (link(source.c_str(), target.c_str()) == 0)
        return unlink(source.c_str()) == 0;
    if (errno == EEXIST)
        return false;
    if (access(target.c_str(), F_OK) == 0)
        return false;
    return rename(source.c_str(), target.c_str()) == 0;
}

bool ReplaceFileAt(const std::wstring &from, const std::wstring &to)
{
    return rename(Native(from).c_str(), Native(to).c_str()) == 0;
}

bool CopyFileAt(const std::wstring &from, const std::wstring &to)
{
    const FileDescriptor in(open(Native(from).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!in.IsValid() || fstat(in.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    FileDescriptor out(open(Native(to).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777));
    if (!out.IsValid())
        return false;
    const bool copied = CopyDescriptorContent(in.Get(), out.Get());
    fchmod(out.Get(), info.st_mode & 07777);
    return close(out.Release()) == 0 && copied;
}

bool FileExists(const std::wstring &path)
{
    return !path.empty() && access(Native(path).c_str(), F_OK) == 0;
}

bool IsDirectory(const std::wstring &path)
{
    struct stat info;
    return StatPath(path, info) && S_ISDIR(info.st_mode);
}

bool IsReadOnly(const std::wstring &path)
{
    return IsReadOnlyNative(Native(path));
}

bool SetReadOnly(const std::wstring &path)
{
    struct stat info;
    if (!StatPath(path, info))
        return false;
    return chmod(Native(path).c_str(), info.st_mode & 07777 & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool ClearReadOnly(const std::wstring &path)
{
    struct stat info;
    if (!StatPath(path, info))
        return false;
    if (info.st_mode & S_IWUSR)
        return true;
    return chmod(Native(path).c_str(), (info.st_mode & 07777) | S_IWUSR) == 0;
}

ZELKRESULT GetFileSizeAt(const std::wstring &path, uint64_t &size)
{
    size = 0;
    struct stat info;
    if (!StatPath(path, info))
        return ZELKRESULT_IO;
    size = static_cast<uint64_t>(info.st_size);
    return ZELKRESULT_OK;
}

ZELKRESULT GetFileModifiedTime(const std::wstring &path, int64_t &seconds)
{
    seconds = 0;
    struct stat info;
    if (!StatPath(path, info))
        return ZELKRESULT_IO;
    seconds = static_cast<int64_t>(info.st_mtime);
    return ZELKRESULT_OK;
}

std::wstring MakeUniqueName(const std::wstring &base)
{
    static uint32_t counter = [] {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
    }();
    std::wstring normal = base;
    NormalizeSeparators(normal);
    return JoinPath(normal, FormatTextW(L"file%u", counter++));
}

ZELKRESULT ListDirectory(const std::wstring &directory, std::set<std::wstring> &entries)
{
    entries.clear();
    DIR *dir = opendir(Native(directory).c_str());
    if (!dir)
        return ZELKRESULT_LIST_FAILED;
    while (dirent *entry = readdir(dir))
    {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            entries.insert(JoinPath(directory, NativeToPath(name)));
    }
    closedir(dir);
    return ZELKRESULT_OK;
}

namespace
{
// A replacement's new file is named after its target with this and six random characters, so
// that writers of one target never share a file and leftovers are recognised as such.
constexpr char kReplacementInfix[] = ".tmp-";
constexpr size_t kReplacementTagLength = 6;
constexpr int kReplacementNameAttempts = 100;

std::string ReplacementTag()
{
    static const char kCharacters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 generator(std::random_device{}());
    std::uniform_int_distribution<size_t> pick(0, sizeof kCharacters - 2);
    std::string tag;
    for (size_t i = 0; i < kReplacementTagLength; ++i)
        tag += kCharacters[pick(generator)];
    return tag;
}

std::string ParentDirectoryNative(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Keeps the errno of a failure across the clean-up that follows it.
class PreservedErrno
{
public:
    ~PreservedErrno() { errno = m_value; }

private:
    int m_value = errno;
};

// Removes what replacements of leaf left in the directory.
void RemoveReplacementsIn(int directory, const std::string &leaf)
{
    const std::string prefix = leaf + kReplacementInfix;
    const int listed = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listed < 0 ? nullptr : fdopendir(listed);
    if (!entries)
    {
        if (listed >= 0)
            close(listed);
        return;
    }
    while (const dirent *entry = readdir(entries))
    {
        const std::string name = entry->d_name;
        if (name.size() == prefix.size() + kReplacementTagLength && name.compare(0, prefix.size(), prefix) == 0)
            unlinkat(dirfd(entries), name.c_str(), 0);
    }
    closedir(entries);
}
} // namespace

ReplacementFile::ReplacementFile(const std::wstring &target) : m_target(target)
{
    const std::string native = Native(target);
    const int directory = open(ParentDirectoryNative(native).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return;
    const std::string leaf = native.substr(native.rfind('/') + 1);
    struct stat original = {};
    const bool replacing = fstatat(directory, leaf.c_str(), &original, 0) == 0 && S_ISREG(original.st_mode);
    const Inherited inherited{original.st_uid, original.st_gid, original.st_mode & 07777u};
    Begin(directory, leaf, replacing ? &inherited : nullptr, true);
}

ReplacementFile::ReplacementFile(const ConfinedDirectory &directory, const std::wstring &name)
    : m_target(directory.PathOf(name))
{
    std::string leaf;
    const FileDescriptor parent(directory.OpenParent(name, leaf, true));
    if (!parent.IsValid())
        return;
    if (leaf == ".")
    {
        errno = EISDIR;
        return;
    }
    const int opened = openat(parent.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0)
        return;
    struct stat original = {};
    const bool replacing =
        fstatat(opened, leaf.c_str(), &original, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(original.st_mode);
    const Inherited inherited{original.st_uid, original.st_gid, original.st_mode & 07777u};
    Begin(opened, leaf, replacing ? &inherited : nullptr, false);
    // A new file is the directory's owner's, as a replacement is its target's.
    if (!replacing && m_descriptor >= 0)
        directory.HandOverCreated(m_descriptor);
}

void ReplacementFile::Begin(int directory, const std::string &leaf, const Inherited *inherited, bool showTemporary)
{
    m_directory = directory;
    m_leaf = leaf;
    for (int attempt = 0; attempt < kReplacementNameAttempts && m_descriptor < 0; ++attempt)
    {
        const std::string suffix = kReplacementInfix + ReplacementTag();
        const std::string candidate = leaf + suffix;
        // Created with the usual mode, so that the umask applies as to any new file.
        m_descriptor = openat(directory, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_descriptor >= 0)
        {
            m_temporaryLeaf = candidate;
            if (showTemporary)
                m_temporary = NativeToPath(Native(m_target) + suffix);
        }
        else if (errno != EEXIST)
        {
            return;
        }
    }
    if (m_descriptor < 0 || !inherited)
        return;
    // Root rewriting a file that another account owns keeps it that account's; anyone else
    // cannot give a file away and keeps owning what it writes. The owner goes first, since a
    // change of owner clears the set-id bits.
    if (fchown(m_descriptor, inherited->owner, inherited->group) != 0)
    {
    }
    fchmod(m_descriptor, inherited->permissions);
}

ReplacementFile::~ReplacementFile()
{
    Discard();
    if (m_directory >= 0)
        close(m_directory);
}

bool ReplacementFile::IsOpen() const
{
    return m_descriptor >= 0;
}

bool ReplacementFile::Write(const void *data, size_t size)
{
    if (m_stream)
        return std::fwrite(data, 1, size, m_stream) == size;
    if (m_descriptor < 0)
    {
        errno = EBADF;
        return false;
    }
    return WriteAll(m_descriptor, data, size);
}

bool ReplacementFile::Write(const std::string &bytes)
{
    return Write(bytes.data(), bytes.size());
}

std::FILE *ReplacementFile::Stream()
{
    if (!m_stream && m_descriptor >= 0)
        m_stream = fdopen(m_descriptor, "wb");
    return m_stream;
}

bool ReplacementFile::Commit()
{
    if (m_descriptor < 0)
    {
        errno = EBADF;
        return false;
    }
    bool written = !m_stream || (std::fflush(m_stream) == 0 && !std::ferror(m_stream));
    // The content must be on the disk before the rename can make it the target: otherwise a power
    // cut could leave the target renamed but empty.
    written = written && SyncDescriptor(m_descriptor);
    const bool closed = m_stream ? std::fclose(m_stream) == 0 : close(m_descriptor) == 0;
    m_stream = nullptr;
    m_descriptor = -1;
    if (!written || !closed ||
        renameat(m_directory, m_temporaryLeaf.c_str(), m_directory, m_leaf.c_str()) != 0)
    {
        Discard();
        return false;
    }
    m_temporary.clear();
    m_temporaryLeaf.clear();
    // The rename itself must reach the disk before the change counts as made. A directory that
    // cannot be synced does not undo it: the new content is in place either way.
    SyncDescriptor(m_directory);
    return true;
}

void ReplacementFile::Discard()
{
    PreservedErrno preserved;
    if (m_stream)
        std::fclose(m_stream);
    else if (m_descriptor >= 0)
        close(m_descriptor);
    m_stream = nullptr;
    m_descriptor = -1;
    if (!m_temporaryLeaf.empty())
        unlinkat(m_directory, m_temporaryLeaf.c_str(), 0);
    m_temporary.clear();
    m_temporaryLeaf.clear();
}

bool WriteWholeFile(const std::wstring &path, const std::string &bytes)
{
    ReplacementFile file(path);
    return file.IsOpen() && file.Write(bytes) && file.Commit();
}

bool WriteWholeFile(const ConfinedDirectory &directory, const std::wstring &name, const std::string &bytes)
{
    ReplacementFile file(directory, name);
    return file.IsOpen() && file.Write(bytes) && file.Commit();
}

void RemoveAbandonedReplacements(const std::wstring &target)
{
    const std::string native = Native(target);
    const FileDescriptor directory(open(ParentDirectoryNative(native).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (directory.IsValid())
        RemoveReplacementsIn(directory.Get(), native.substr(native.rfind('/') + 1));
}

void RemoveAbandonedReplacements(const ConfinedDirectory &directory, const std::wstring &name)
{
    std::string leaf;
    const FileDescriptor parent(directory.OpenParent(name, leaf, true));
    if (parent.IsValid() && leaf != ".")
        RemoveReplacementsIn(parent.Get(), leaf);
}

ZELKRESULT ReadWholeFile(const std::wstring &path, std::string &bytes, uint64_t limit)
{
    bytes.clear();
    const FileDescriptor file(path.empty() ? -1 : open(Native(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.IsValid())
        return ZELKRESULT_IO;
    return ReadWholeDescriptor(file.Get(), bytes, limit);
}

std::wstring TempBaseDirectory()
{
    for (const char *name : {"TEMP", "TMPDIR"})
    {
        const char *value = std::getenv(name);
        if (value && *value)
            return NativeToPath(value);
    }
    return L"/tmp";
}

namespace
{
std::mutex g_runTempLock;
std::string g_runTempDirectory;
pid_t g_runTempOwner = 0;

// A forked child that exits must not take its parent's directory with it.
void RemoveOwnRunTempDirectoryAtExit()
{
    if (getpid() == g_runTempOwner)
        RemoveRunTempDirectory();
}
} // namespace

std::wstring RunTempDirectory()
{
    std::lock_guard<std::mutex> lock(g_runTempLock);
    if (g_runTempDirectory.empty())
    {
        const std::wstring base = TempBaseDirectory();
        if (!MakeDirectory(base))
            return std::wstring();
        // mkdtemp makes a fresh 0700 directory, so nothing planted in the shared base directory
        // can be followed by the predictable names used inside it.
        std::string pattern = PathToNative(JoinPath(base, L"pelmo-patch-XXXXXX"));
        if (!mkdtemp(pattern.data()))
            return std::wstring();
        g_runTempDirectory = pattern;
        g_runTempOwner = getpid();
        // Nothing of a run may stay behind in the shared base directory once the program ends.
        static const bool removedAtExit = std::atexit(RemoveOwnRunTempDirectoryAtExit) == 0;
        (void)removedAtExit;
    }
    return NativeToPath(g_runTempDirectory);
}

void RemoveRunTempDirectory()
{
    std::lock_guard<std::mutex> lock(g_runTempLock);
    if (g_runTempDirectory.empty())
        return;
    // Whatever the run left there goes, read-only or not.
    RemoveTreeNative(g_runTempDirectory, [](const std::string &file) { unlink(file.c_str()); });
    g_runTempDirectory.clear();
}

bool IsInRunTempDirectory(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_runTempLock);
    return !g_runTempDirectory.empty() && path.size() > g_runTempDirectory.size() + 1 &&
           path.compare(0, g_runTempDirectory.size(), g_runTempDirectory) == 0 &&
           path[g_runTempDirectory.size()] == '/' && path.find("/..", g_runTempDirectory.size()) == std::string::npos;
}

bool GetFreeDiskSpace(const std::wstring &path, uint64_t &bytes)
{
    bytes = 0;
    struct statvfs info;
    if (path.empty() || statvfs(Native(path).c_str(), &info) != 0)
        return false;
    bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
    return true;
}

std::wstring NearestExistingDirectory(const std::wstring &path)
{
    std::string native = Native(path);
    while (native.size() > 1 && access(native.c_str(), F_OK) != 0)
    {
        const size_t slash = native.find_last_of('/', native.size() - 2);
        native = slash == std::string::npos || slash == 0 ? std::string("/") : native.substr(0, slash);
    }
    if (native.empty())
        native = "/";
    return NarrowToWide(native);
}

bool MayCreateIn(const std::wstring &directory)
{
    return !directory.empty() && faccessat(AT_FDCWD, Native(directory).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool SameVolume(const std::wstring &first, const std::wstring &second)
{
    struct stat a;
    struct stat b;
    return stat(Native(first).c_str(), &a) == 0 && stat(Native(second).c_str(), &b) == 0 && a.st_dev == b.st_dev;
}

bool CreatePrivateFile(const std::wstring &path, const std::string &bytes)
{
    return CreateNewFile(path, bytes, 0600);
}

bool CreateNewFile(const std::wstring &path, const std::string &bytes, uint32_t mode)
{
    const std::string native = Native(path);
    // O_EXCL: never through a link planted in its place, never over an existing file. The mode is
    // given at creation (the umask can only narrow it), so no account it excludes ever opens the
    // file, even empty.
    const int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode & 0777);
    if (fd < 0)
        return false;
    // The mode asked for, whatever the umask took away.
    const bool written = WriteAll(fd, bytes.data(), bytes.size()) && fchmod(fd, mode & 0777) == 0 &&
                         SyncDescriptor(fd);
    if (close(fd) != 0 || !written)
    {
        unlink(native.c_str());
        return false;
    }
    // The new name must reach the disk too.
    const size_t slash = native.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    const int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0)
    {
        fsync(directoryFd);
        close(directoryFd);
    }
    return true;
}
