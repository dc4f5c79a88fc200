// Names resolved beneath a directory on Linux. The directories on the way to a name's last
// component are opened beneath the held descriptor: by the kernel (openat2 with RESOLVE_BENEATH,
// which refuses absolute links and ".." above the start), or, on a kernel without it, one component
// at a time, each opened without following a link, with links read and resolved here by the same
// rules. The last component is then acted on through its directory's descriptor; where following a
// link there is wanted, the link is read and its target resolved the same way, so that it too
// stays beneath the directory.
#include "kernel/ConfinedDirectory.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/KernelStandard/FileDescriptor.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
// The kernel's own bound on the links one resolution follows.
constexpr int kMaxLinks = 40;
// openat2 gives up with EAGAIN when a rename elsewhere raced a ".."; it may be asked again.
constexpr int kResolveAttempts = 16;
constexpr size_t kLinkTargetSize = 4096;
const char kNoOpenat2Variable[] = "ZELK_TEST_NO_OPENAT2";

using Components = std::vector<std::string>;

long Openat2(int directory, const char *name, int flags, mode_t mode)
{
    open_how how = {};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = flags & (O_CREAT | O_TMPFILE) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long result = -1;
    for (int attempt = 0; attempt < kResolveAttempts; ++attempt)
    {
        result = syscall(SYS_openat2, directory, name, &how, sizeof how);
        if (result >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return result;
}

bool KernelResolvesBeneath()
{
    static const bool available = [] {
        const long descriptor = Openat2(AT_FDCWD, ".", O_PATH | O_CLOEXEC, 0);
        if (descriptor >= 0)
        {
            close(static_cast<int>(descriptor));
            return true;
        }
        // A sandbox that does not know the call may refuse it instead of reporting it missing.
        return errno != ENOSYS && errno != EPERM;
    }();
    return available;
}

void AppendComponents(const std::string &text, Components &components)
{
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find('/', start);
        if (end == std::string::npos)
            end = text.size();
        std::string component = text.substr(start, end - start);
        if (!component.empty() && component != ".")
            components.push_back(std::move(component));
        start = end + 1;
    }
}

// The components of a name, either separator; empty and "." components dropped. False with errno
// set for an absolute name and for one holding NUL, which the platform would cut short.
bool SplitName(const std::wstring &name, Components &components)
{
    components.clear();
    if (name.find(L'\0') != std::wstring::npos)
    {
        errno = EINVAL;
        return false;
    }
    std::wstring normal = name;
    NormalizeSeparators(normal);
    if (!normal.empty() && normal.front() == kPathSeparator)
    {
        errno = kNameLeadsOutside;
        return false;
    }
    AppendComponents(PathToNative(normal), components);
    return true;
}

// The components as one relative path; "." for none.
std::string JoinComponents(const Components &components)
{
    std::string joined;
    for (const std::string &component : components)
    {
        if (!joined.empty())
            joined += '/';
        joined += component;
    }
    return joined.empty() ? std::string(".") : joined;
}

bool ReadLink(int directory, const char *name, std::string &target)
{
    char buffer[kLinkTargetSize];
    const ssize_t length = readlinkat(directory, name, buffer, sizeof buffer);
    if (length < 0)
        return false;
    if (static_cast<size_t>(length) >= sizeof buffer)
    {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(buffer, static_cast<size_t>(length));
    return true;
}

// The components of a link's target, which take the link's place: false (errno set) for an
// absolute target, which would leave the directory whatever it names.
bool LinkTargetComponents(const std::string &target, Components &parts)
{
    parts.clear();
    if (target.empty())
    {
        errno = ENOENT;
        return false;
    }
    if (target.front() == '/')
    {
        errno = kNameLeadsOutside;
        return false;
    }
    AppendComponents(target, parts);
    return true;
}

// The component walk: each component opened without following a link and looked at as what was
// opened, so that nothing can be swapped in between the look and the use.
int WalkBeneath(int root, const Components &components)
{
    std::vector<FileDescriptor> opened; // the directories below root on the way, innermost last
    std::deque<std::string> pending(components.begin(), components.end());
    int links = 0;
    while (!pending.empty())
    {
        const std::string component = std::move(pending.front());
        pending.pop_front();
        if (component == "..")
        {
            if (opened.empty())
            {
                errno = kNameLeadsOutside;
                return -1;
            }
            opened.pop_back();
            continue;
        }
        const int current = opened.empty() ? root : opened.back().Get();
        FileDescriptor next(openat(current, component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!next.IsValid() || fstat(next.Get(), &info) != 0)
            return -1;
        if (S_ISLNK(info.st_mode))
        {
            std::string target;
            Components parts;
            if (++links > kMaxLinks)
            {
                errno = ELOOP;
                return -1;
            }
            if (!ReadLink(next.Get(), "", target) || !LinkTargetComponents(target, parts))
                return -1;
            pending.insert(pending.begin(), parts.begin(), parts.end());
            continue;
        }
        if (!S_ISDIR(info.st_mode))
        {
            errno = ENOTDIR;
            return -1;
        }
        opened.push_back(std::move(next));
    }
    if (opened.empty())
        return openat(root, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return opened.back().Release();
}

// Whether an account other than root and the one the process runs as could have made or changed
// an entry with this owner and mode: a directory's group or others may also replace what it holds.
bool MayBeChangedByOthers(const struct stat &info)
{
    const bool trustedOwner = info.st_uid == 0 || info.st_uid == geteuid();
    return !trustedOwner || (S_ISDIR(info.st_mode) && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0);
}

// The textual path of a directory's entry, for messages.
std::string PathBelow(const std::string &directory, const std::string &component)
{
    return directory == "/" ? "/" + component : directory + "/" + component;
}

std::string ParentPath(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// Opens the directory at path by a walk from "/" (a relative path from the working directory's
// place), each component opened without following a link. A link is followed only when neither it
// nor the directory holding it could be changed by another account; otherwise -1 with errno
// kLinkNotTrusted and refusedLink set to the link's path. Once a component is open, it is the one
// the walk goes on from: a swap behind the walk changes nothing of what it opens.
int OpenByTrustedWalk(const std::string &path, std::string &refusedLink)
{
    std::string start = path;
    if (start.front() != '/')
    {
        char *working = getcwd(nullptr, 0);
        if (!working)
            return -1;
        start = std::string(working) + "/" + path;
        std::free(working);
    }
    Components components;
    AppendComponents(start, components);
    std::deque<std::string> pending(components.begin(), components.end());
    FileDescriptor current(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string where = "/";
    int links = 0;
    while (current.IsValid() && !pending.empty())
    {
        const std::string component = std::move(pending.front());
        pending.pop_front();
        if (component == "..")
        {
            // The parent of what was opened, as the kernel's own resolution takes it after a link.
            current = FileDescriptor(openat(current.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            where = ParentPath(where);
            continue;
        }
        FileDescriptor next(openat(current.Get(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!next.IsValid() || fstat(next.Get(), &info) != 0)
            return -1;
        const std::string here = PathBelow(where, component);
        if (S_ISLNK(info.st_mode))
        {
            struct stat holder;
            if (fstat(current.Get(), &holder) != 0)
                return -1;
            if (MayBeChangedByOthers(info) || MayBeChangedByOthers(holder))
            {
                refusedLink = here;
                errno = kLinkNotTrusted;
                return -1;
            }
            std::string target;
            if (++links > kMaxLinks)
            {
                errno = ELOOP;
                return -1;
            }
            if (!ReadLink(next.Get(), "", target))
                return -1;
            if (target.empty())
            {
                errno = ENOENT;
                return -1;
            }
            if (target.front() == '/')
            {
                current = FileDescriptor(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                where = "/";
            }
            Components parts;
            AppendComponents(target, parts);
            pending.insert(pending.begin(), parts.begin(), parts.end());
            continue;
        }
        if (!S_ISDIR(info.st_mode))
        {
            errno = ENOTDIR;
            return -1;
        }
        current = std::move(next);
        where = here;
    }
    return current.IsValid() ? current.Release() : -1;
}

// To whom what the process creates beneath a directory goes.
struct Handover
{
    bool on = false;
    uid_t owner = 0;
    gid_t group = 0;
};

// Bits an entry handed over keeps: no write for group or others, no set-id.
constexpr mode_t kHandedOverBits = 07777 & ~(S_ISUID | S_ISGID | S_IWGRP | S_IWOTH);

// The owner goes first, since a change of owner clears the set-id bits on its own.
void HandOver(int descriptor, const Handover &handover)
{
    struct stat info;
    if (!handover.on || fstat(descriptor, &info) != 0)
        return;
    if (fchown(descriptor, handover.owner, handover.group) != 0)
        ZelkSystemLog("ConfinedDirectory> cannot hand a new entry to %u: error %d", handover.owner, errno);
    fchmod(descriptor, info.st_mode & kHandedOverBits);
}

// What an action on a name's last component asks for next.
enum class LeafStep
{
    Done,       // finished, well or not (errno set)
    FollowLink, // the component is a link, and the action goes on at its target
};

// The flags of an fopen mode; false for a mode that is none.
bool OpenFlagsOfMode(const char *mode, int &flags)
{
    const std::string text = mode;
    const bool update = text.find('+') != std::string::npos;
    switch (text.empty() ? '\0' : text.front())
    {
    case 'r':
        flags = update ? O_RDWR : O_RDONLY;
        break;
    case 'w':
        flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        break;
    default:
        return false;
    }
    if (text.find('x') != std::string::npos)
        flags |= O_EXCL;
    return true;
}

bool IsReadOnlyMode(mode_t mode)
{
    return !S_ISLNK(mode) && !(mode & S_IWUSR);
}

bool IsLinkAt(int directory, const char *name)
{
    struct stat info;
    return fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// Names beneath one root descriptor, resolved one way.
class Beneath
{
public:
    Beneath(int root, ConfinedDirectory::Resolution resolution, const Handover &handover = Handover())
        : m_root(root), m_resolution(resolution), m_handover(handover)
    {
    }

    // The directory that holds the last of components, and that component.
    int OpenParent(Components components, std::string &leaf) const
    {
        // ".." as the last component names a directory, not an entry of one.
        if (components.empty() || components.back() == "..")
        {
            leaf = ".";
        }
        else
        {
            leaf = std::move(components.back());
            components.pop_back();
        }
        if (m_resolution == ConfinedDirectory::Resolution::ComponentWalk)
            return WalkBeneath(m_root, components);
        const std::string path = JoinComponents(components);
        return static_cast<int>(Openat2(m_root, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
    }

    // Calls act(directory, last component) with the resolved directory of name until act is
    // done; when act finds a link there and follows it, the link's target takes its place,
    // resolved the same way. act keeps its own outcome; when the name cannot be resolved, act is
    // not called (again) and errno tells why.
    template <typename Act>
    void AtLeaf(const std::wstring &name, Act act) const
    {
        if (m_root < 0)
        {
            errno = EBADF;
            return;
        }
        Components components;
        if (!SplitName(name, components))
            return;
        for (int links = 0;; ++links)
        {
            std::string leaf;
            const FileDescriptor parent(OpenParent(components, leaf));
            if (!parent.IsValid() || act(parent.Get(), leaf.c_str()) == LeafStep::Done)
                return;
            std::string target;
            Components parts;
            if (links == kMaxLinks || leaf == ".")
            {
                errno = ELOOP;
                return;
            }
            if (!ReadLink(parent.Get(), leaf.c_str(), target) || !LinkTargetComponents(target, parts))
                return;
            // The target is relative to the directory that holds the link.
            components.pop_back();
            components.insert(components.end(), parts.begin(), parts.end());
        }
    }

    // Looks at what name leads to (followLink) or at its last component itself.
    bool Stat(const std::wstring &name, bool followLink, struct stat &info) const
    {
        bool ok = false;
        AtLeaf(name, [&](int directory, const char *leaf) {
            if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) != 0)
                return LeafStep::Done;
            if (followLink && S_ISLNK(info.st_mode))
                return LeafStep::FollowLink;
            ok = true;
            return LeafStep::Done;
        });
        return ok;
    }

    // Opens what name leads to; never waits on a FIFO or takes a terminal.
    int Open(const std::wstring &name, int flags, mode_t mode) const
    {
        int descriptor = -1;
        AtLeaf(name, [&](int directory, const char *leaf) {
            descriptor = OpenLeaf(directory, leaf, flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
            // O_NOFOLLOW refuses a link with ELOOP, or with ENOTDIR where a directory was asked for.
            if (descriptor < 0 && (errno == ELOOP || errno == ENOTDIR) && IsLinkAt(directory, leaf))
                return LeafStep::FollowLink;
            return LeafStep::Done;
        });
        return descriptor;
    }

    // Opens a regular file, blocking as files do; anything else is refused without being used.
    int OpenFile(const std::wstring &name, int flags, mode_t mode = 0) const
    {
        FileDescriptor file(Open(name, flags, mode));
        struct stat info;
        if (!file.IsValid() || fstat(file.Get(), &info) != 0)
            return -1;
        if (!S_ISREG(info.st_mode))
        {
            errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
            return -1;
        }
        const int status = fcntl(file.Get(), F_GETFL);
        if (status < 0 || fcntl(file.Get(), F_SETFL, status & ~O_NONBLOCK) != 0)
            return -1;
        return file.Release();
    }

private:
    // Opens leaf in directory; what it creates there is handed over. Only a file the call made
    // itself is: created exclusively, or else opened as it already is.
    int OpenLeaf(int directory, const char *leaf, int flags, mode_t mode) const
    {
        if (!m_handover.on || !(flags & O_CREAT))
            return openat(directory, leaf, flags, mode);
        for (int attempt = 0; attempt < kResolveAttempts; ++attempt)
        {
            const int created = openat(directory, leaf, flags | O_EXCL, mode);
            if (created >= 0)
            {
                HandOver(created, m_handover);
                return created;
            }
            if (errno != EEXIST || (flags & O_EXCL))
                return -1;
            // Removed in between: it is made anew.
            const int existing = openat(directory, leaf, flags & ~O_CREAT, mode);
            if (existing >= 0 || errno != ENOENT)
                return existing;
        }
        return -1;
    }

    int m_root;
    ConfinedDirectory::Resolution m_resolution;
    Handover m_handover;
};

// Copies the opened source into the file openTarget opens for its permission bits.
template <typename OpenTarget>
bool CopyOpened(const FileDescriptor &source, OpenTarget openTarget, mode_t kept = 07777)
{
    struct stat info;
    if (!source.IsValid() || fstat(source.Get(), &info) != 0)
        return false;
    if (!S_ISREG(info.st_mode))
    {
        errno = EINVAL;
        return false;
    }
    const mode_t permissions = info.st_mode & kept;
    FileDescriptor target(openTarget(permissions));
    if (!target.IsValid())
        return false;
    const bool copied = CopyDescriptorContent(source.Get(), target.Get());
    fchmod(target.Get(), permissions);
    return close(target.Release()) == 0 && copied;
}
} // namespace

ConfinedDirectory::ConfinedDirectory(const std::wstring &path, Resolution resolution) : m_path(path)
{
    const bool walkAsked = resolution == Resolution::ComponentWalk ||
                           (resolution == Resolution::Automatic && std::getenv(kNoOpenat2Variable));
    m_resolution = walkAsked || !KernelResolvesBeneath() ? Resolution::ComponentWalk : Resolution::Kernel;
    std::wstring normal = path;
    NormalizeSeparators(normal);
    if (normal.empty() || normal.find(L'\0') != std::wstring::npos)
    {
        errno = ENOENT;
        return;
    }
    std::string refused;
    m_descriptor = OpenByTrustedWalk(PathToNative(normal), refused);
    if (m_descriptor < 0)
    {
        const int reason = errno;
        m_refusedLink = NativeToPath(refused);
        errno = reason;
        return;
    }
    struct stat info;
    if (geteuid() == 0 && fstat(m_descriptor, &info) == 0 && info.st_uid != 0)
    {
        m_handsOver = true;
        m_ownerId = info.st_uid;
        m_groupId = info.st_gid;
    }
}

ConfinedDirectory::~ConfinedDirectory()
{
    if (m_descriptor >= 0)
        close(m_descriptor);
}

std::wstring ConfinedDirectory::PathOf(const std::wstring &name) const
{
    std::wstring normal = name;
    NormalizeSeparators(normal);
    return normal.empty() ? m_path : JoinPath(m_path, normal);
}

int ConfinedDirectory::OpenParent(const std::wstring &name, std::string &leaf, bool followLink) const
{
    int descriptor = -1;
    Beneath(m_descriptor, m_resolution).AtLeaf(name, [&](int directory, const char *component) {
        if (followLink && IsLinkAt(directory, component))
            return LeafStep::FollowLink;
        descriptor = fcntl(directory, F_DUPFD_CLOEXEC, 0);
        leaf = component;
        return LeafStep::Done;
    });
    return descriptor;
}

FILE *ConfinedDirectory::OpenStdioFile(const std::wstring &name, const char *mode) const
{
    int flags = 0;
    if (!OpenFlagsOfMode(mode, flags))
    {
        errno = EINVAL;
        return nullptr;
    }
    const Handover handover{m_handsOver, m_ownerId, m_groupId};
    FileDescriptor file(Beneath(m_descriptor, m_resolution, handover).OpenFile(name, flags, 0666));
    if (!file.IsValid())
        return nullptr;
    FILE *stream = fdopen(file.Get(), mode);
    if (stream)
        file.Release();
    return stream;
}

ZELKRESULT ConfinedDirectory::ReadWholeFile(const std::wstring &name, std::string &bytes, uint64_t limit) const
{
    bytes.clear();
    const FileDescriptor file(Beneath(m_descriptor, m_resolution).OpenFile(name, O_RDONLY));
    if (!file.IsValid())
        return ZELKRESULT_IO;
    return ReadWholeDescriptor(file.Get(), bytes, limit);
}

bool ConfinedDirectory::CopyFileFrom(const std::wstring &sourcePath, const std::wstring &name) const
{
    std::wstring source = sourcePath;
    NormalizeSeparators(source);
    const FileDescriptor opened(open(PathToNative(source).c_str(), O_RDONLY | O_CLOEXEC));
    const Handover handover{m_handsOver, m_ownerId, m_groupId};
    return CopyOpened(
        opened,
        [&](mode_t permissions) {
            return Beneath(m_descriptor, m_resolution, handover).OpenFile(name, O_WRONLY | O_CREAT | O_TRUNC, permissions);
        },
        m_handsOver ? kHandedOverBits : 07777);
}

bool ConfinedDirectory::CopyFile(const std::wstring &from, const std::wstring &to) const
{
    const Beneath beneath(m_descriptor, m_resolution, Handover{m_handsOver, m_ownerId, m_groupId});
    return CopyOpened(
        FileDescriptor(beneath.OpenFile(from, O_RDONLY)),
        [&](mode_t permissions) { return beneath.OpenFile(to, O_WRONLY | O_CREAT | O_TRUNC, permissions); },
        m_handsOver ? kHandedOverBits : 07777);
}

bool ConfinedDirectory::MayOpenForReadWrite(const std::wstring &name) const
{
    return FileDescriptor(Beneath(m_descriptor, m_resolution).OpenFile(name, O_RDWR)).IsValid();
}

bool ConfinedDirectory::Exists(const std::wstring &name) const
{
    struct stat info;
    return Beneath(m_descriptor, m_resolution).Stat(name, true, info);
}

bool ConfinedDirectory::IsDirectory(const std::wstring &name) const
{
    struct stat info;
    return Beneath(m_descriptor, m_resolution).Stat(name, true, info) && S_ISDIR(info.st_mode);
}

bool ConfinedDirectory::MakeDirectory(const std::wstring &name) const
{
    if (IsDirectory(name))
        return true;
    Components components;
    if (!SplitName(name, components))
        return false;
    // Level by level from the top: each level that is missing is made in the one above it, which
    // has just been found beneath the directory.
    const Beneath beneath(m_descriptor, m_resolution);
    std::wstring level;
    for (const std::string &component : components)
    {
        level = level.empty() ? NativeToPath(component) : level + kPathSeparator + NativeToPath(component);
        struct stat info;
        if (beneath.Stat(level, true, info))
        {
            if (S_ISDIR(info.st_mode))
                continue;
            errno = EEXIST;
            return false;
        }
        if (errno != ENOENT)
            return false;
        std::string leaf;
        const FileDescriptor parent(OpenParent(level, leaf, false));
        if (!parent.IsValid())
            return false;
        // One made meanwhile by someone else is as good.
        if (mkdirat(parent.Get(), leaf.c_str(), 0777) == 0)
        {
            // Handed over through a descriptor: whatever the owner puts in its place meanwhile is
            // not followed.
            const FileDescriptor made(openat(parent.Get(), leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (made.IsValid())
                HandOverCreated(made.Get());
        }
        else if (errno != EEXIST)
        {
            ZelkSystemLogW(L"ConfinedDirectory::MakeDirectory> cannot make %ls: error %d", PathOf(level).c_str(),
                           errno);
            return false;
        }
    }
    return IsDirectory(name);
}

bool ConfinedDirectory::DeleteFile(const std::wstring &name) const
{
    bool ok = false;
    Beneath(m_descriptor, m_resolution).AtLeaf(name, [&](int directory, const char *leaf) {
        // A file the owner may not write is read-only, as the Windows attribute would make it;
        // unlink alone would not refuse it on Linux.
        struct stat info;
        if (fstatat(directory, leaf, &info, AT_SYMLINK_NOFOLLOW) == 0 && IsReadOnlyMode(info.st_mode))
            errno = EACCES;
        else
            ok = unlinkat(directory, leaf, 0) == 0;
        return LeafStep::Done;
    });
    return ok;
}

bool ConfinedDirectory::Rename(const std::wstring &from, const std::wstring &to) const
{
    std::string fromLeaf;
    std::string toLeaf;
    const FileDescriptor fromDirectory(OpenParent(from, fromLeaf, false));
    if (!fromDirectory.IsValid())
        return false;
    const FileDescriptor toDirectory(OpenParent(to, toLeaf, false));
    if (!toDirectory.IsValid())
        return false;
    if (renameat(fromDirectory.Get(), fromLeaf.c_str(), toDirectory.Get(), toLeaf.c_str()) == 0)
        return true;
    if (errno == EXDEV)
        errno = EOPNOTSUPP;
    return false;
}

ZELKRESULT ConfinedDirectory::GetFileSize(const std::wstring &name, uint64_t &size) const
{
    size = 0;
    struct stat info;
    if (!Beneath(m_descriptor, m_resolution).Stat(name, true, info))
        return ZELKRESULT_IO;
    size = static_cast<uint64_t>(info.st_size);
    return ZELKRESULT_OK;
}

ZELKRESULT ConfinedDirectory::GetModifiedTime(const std::wstring &name, int64_t &seconds) const
{
    seconds = 0;
    struct stat info;
    if (!Beneath(m_descriptor, m_resolution).Stat(name, true, info))
        return ZELKRESULT_IO;
    seconds = static_cast<int64_t>(info.st_mtime);
    return ZELKRESULT_OK;
}

bool ConfinedDirectory::GetPermissions(const std::wstring &name, uint32_t &permissions) const
{
    struct stat info;
    if (!Beneath(m_descriptor, m_resolution).Stat(name, true, info))
        return false;
    permissions = info.st_mode & 07777;
    return true;
}

bool ConfinedDirectory::SetPermissions(const std::wstring &name, uint32_t permissions) const
{
    bool ok = false;
    Beneath(m_descriptor, m_resolution).AtLeaf(name, [&](int directory, const char *leaf) {
        // Acts on the entry itself: a link found there is followed beneath the directory instead.
        ok = fchmodat(directory, leaf, permissions & 07777, AT_SYMLINK_NOFOLLOW) == 0;
        if (!ok && errno == EOPNOTSUPP && IsLinkAt(directory, leaf))
            return LeafStep::FollowLink;
        return LeafStep::Done;
    });
    return ok;
}

bool ConfinedDirectory::IsReadOnly(const std::wstring &name) const
{
    struct stat info;
    return Beneath(m_descriptor, m_resolution).Stat(name, false, info) && IsReadOnlyMode(info.st_mode);
}

bool ConfinedDirectory::SetReadOnly(const std::wstring &name) const
{
    uint32_t permissions = 0;
    return GetPermissions(name, permissions) && SetPermissions(name, permissions & ~static_cast<uint32_t>(0222));
}

bool ConfinedDirectory::ClearReadOnly(const std::wstring &name) const
{
    uint32_t permissions = 0;
    if (!GetPermissions(name, permissions))
        return false;
    return (permissions & S_IWUSR) || SetPermissions(name, permissions | S_IWUSR);
}

ZELKRESULT ConfinedDirectory::ListDirectory(const std::wstring &name, std::vector<DirectoryEntry> &entries) const
{
    entries.clear();
    const Beneath beneath(m_descriptor, m_resolution);
    FileDescriptor opened(beneath.Open(name, O_RDONLY | O_DIRECTORY, 0));
    DIR *directory = opened.IsValid() ? fdopendir(opened.Get()) : nullptr;
    if (!directory)
        return ZELKRESULT_LIST_FAILED;
    opened.Release();
    std::wstring prefix = name;
    NormalizeSeparators(prefix);
    if (!prefix.empty() && prefix.back() != kPathSeparator)
        prefix += kPathSeparator;
    while (const dirent *found = readdir(directory))
    {
        const std::string native = found->d_name;
        if (native == "." || native == "..")
            continue;
        DirectoryEntry entry;
        entry.name = NativeToPath(native);
        struct stat info;
        if (fstatat(dirfd(directory), found->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0)
        {
            // A link is described by what it leads to, looked at beneath the directory: one that
            // leads outside or nowhere stays unknown.
            entry.isLink = S_ISLNK(info.st_mode);
            entry.known = !entry.isLink || beneath.Stat(prefix + entry.name, true, info);
        }
        if (entry.known)
        {
            entry.isDirectory = S_ISDIR(info.st_mode);
            entry.size = static_cast<uint64_t>(info.st_size);
            entry.modifiedTime = static_cast<int64_t>(info.st_mtime);
        }
        entries.push_back(std::move(entry));
    }
    closedir(directory);
    std::sort(entries.begin(), entries.end(),
              [](const DirectoryEntry &a, const DirectoryEntry &b) { return a.name < b.name; });
    return ZELKRESULT_OK;
}

bool ConfinedDirectory::GetFreeSpace(uint64_t &bytes) const
{
    struct statvfs volume;
    if (m_descriptor < 0 || fstatvfs(m_descriptor, &volume) != 0)
        return false;
    bytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return true;
}

void ConfinedDirectory::HandOverCreated(int descriptor) const
{
    HandOver(descriptor, Handover{m_handsOver, m_ownerId, m_groupId});
}
