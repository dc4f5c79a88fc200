// The instance registry on Linux. The block is POSIX shared memory; the named mutex is an flock
// lock on a file in /dev/shm, which the kernel releases when its holder dies, as Windows abandons
// a mutex. Windows destroys named objects with their last handle; here every attached program
// holds a shared flock on the block, so the last one to close (or the next opener, after every
// holder died) can tell that nobody uses the objects any more. Not every product program takes
// that lock, so objects count as unused only when, besides, no process id in the block is alive:
// patching under a running product, or pulling its registry from under it, is the one thing that
// must never happen, and a registry wrongly taken for live only costs a "files in use" message.
#include "kernel/AssetDbIpc.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

#include "kernel/KernelStandard/LockWaitPosix.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
constexpr char kKeyPrefix[] = "09731AC6-B611-4e2a-B181-578073F64F24";
constexpr char kDatabaseName[] = "assets.kdx";
constexpr size_t kDatabaseNameLength = sizeof(kDatabaseName) - 1;
constexpr char kBlockSuffix[] = "-ipc2";
constexpr char kLockDirectory[] = "/dev/shm/";
// Names longer than this (encoded) are replaced by a digest, so that any installation path fits in
// one path component (255 bytes) and every program derives the same name for it.
constexpr size_t kMaxEncodedNameLength = 240;
constexpr char kHashedNamePrefix[] = "pelmo-";
constexpr mode_t kObjectMode = 0666;

struct RegistryState
{
    int lockFd = -1;
    int blockFd = -1;
    bool isMaster = false;
    bool holdingMutex = false;
    // Set once a wait for the mutex ended without it: whoever holds it may hold it for ever, so
    // later takes only try, instead of costing the whole deadline each.
    bool mutexWedged = false;
    int32_t ownPid = 0;
    std::string lockPath;
    std::string blockName;
};

RegistryState g_registry;

// Only A-Z: the other bytes of the UTF-8 text stay as they are whatever the locale, so that every
// program derives the same names.
std::string AsciiLower(const std::string &text)
{
    std::string lower = text;
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Kernel path append: one '/' between, leading separators of the tail skipped.
std::string AppendPath(const std::string &base, const std::string &tail)
{
    std::string result = base;
    if (!result.empty() && result.back() != '/' && result.back() != '\\')
        result += '/';
    size_t start = tail.find_first_not_of("/\\");
    if (start != std::string::npos)
        result += tail.substr(start);
    for (char &c : result)
        if (c == '\\')
            c = '/';
    return result;
}

std::string Sha256Hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i)
    {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0f];
    }
    return hex;
}

// Object names are one path component: '/' and the escape character itself are encoded, and a
// name too long for a component is replaced by the digest of the unencoded name.
std::string EncodeName(const std::string &name)
{
    std::string encoded;
    for (char c : name)
    {
        if (c == '%')
            encoded += "%25";
        else if (c == '/')
            encoded += "%2F";
        else
            encoded += c;
    }
    if (encoded.size() > kMaxEncodedNameLength)
        return kHashedNamePrefix + Sha256Hex(name);
    return encoded;
}

// The folder of the database (original case, for the existence test) and its key; false when the
// path does not name an asset database.
bool SplitDatabasePath(const std::string &path, std::string &folder, std::string &key)
{
    const std::string lower = AsciiLower(path);
    const size_t found = lower.find(kDatabaseName);
    if (found == std::string::npos || found + kDatabaseNameLength != lower.size())
        return false;
    if (lower.size() <= kDatabaseNameLength)
        return false;
    const size_t folderLength = lower.size() - kDatabaseNameLength - 1;
    folder = path.substr(0, folderLength);
    key = AppendPath(kKeyPrefix, lower.substr(0, folderLength));
    return true;
}

bool LockFile(int fd, int operation)
{
    while (flock(fd, operation) != 0)
    {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Every account may open the mutex's file, so every wait for it is bounded.
bool TakeMutex()
{
    if (g_registry.holdingMutex)
        return true;
    if (g_registry.mutexWedged)
        return TryFileLock(g_registry.lockFd, LOCK_EX) == LockWaitResult::Taken;
    if (WaitForFileLock(g_registry.lockFd, LOCK_EX) == LockWaitResult::Taken)
        return true;
    ZelkSystemLog("AssetDbIpc> the registry mutex %s stays held\n", g_registry.lockPath.c_str());
    g_registry.mutexWedged = true;
    return false;
}

void ReleaseMutex()
{
    if (!g_registry.holdingMutex)
        LockFile(g_registry.lockFd, LOCK_UN);
}

// Objects in /dev/shm can be made by any account: only a plain file is ours to use (a planted
// FIFO or device is not, and opening a FIFO must not block).
bool IsPlainFile(int fd, struct stat &info)
{
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Opens the lock file and takes the mutex, retrying when the last program removed the file
// between our open and our lock.
int OpenLockedMutex(const std::string &lockPath)
{
    for (;;)
    {
        const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kObjectMode);
        if (fd < 0)
        {
            ZelkSystemLog("AssetDbIpc::Open> cannot open %s: %s\n", lockPath.c_str(), std::strerror(errno));
            return -1;
        }
        struct stat info;
        if (!IsPlainFile(fd, info))
        {
            ZelkSystemLog("AssetDbIpc::Open> %s is no plain file\n", lockPath.c_str());
            close(fd);
            return -1;
        }
        fchmod(fd, kObjectMode);
        if (WaitForFileLock(fd, LOCK_EX) != LockWaitResult::Taken || fstat(fd, &info) != 0)
        {
            ZelkSystemLog("AssetDbIpc::Open> the registry mutex %s stays held\n", lockPath.c_str());
            close(fd);
            return -1;
        }
        if (info.st_nlink > 0)
            return fd;
        close(fd);
    }
}

// The block is read and written through its descriptor, never mapped: any account may cut the
// shared object short, and a mapping beyond its end would raise SIGBUS here. A block that cannot
// be read whole counts as none.
bool ReadBlock(AssetDbBlock &block)
{
    if (g_registry.blockFd < 0)
        return false;
    ssize_t got;
    do
        got = pread(g_registry.blockFd, &block, sizeof(block), 0);
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof(block));
}

// One field, as the product's plain store writes it: the other fields may be changing meanwhile.
template <typename Field>
void WriteField(Field AssetDbBlock::*member, std::type_identity_t<Field> value)
{
    static const AssetDbBlock layout{};
    const off_t offset = reinterpret_cast<const char *>(&(layout.*member)) - reinterpret_cast<const char *>(&layout);
    ssize_t written;
    do
        written = pwrite(g_registry.blockFd, &value, sizeof(value), offset);
    while (written < 0 && errno == EINTR);
}

void ReleaseObjects()
{
    if (g_registry.blockFd >= 0)
        close(g_registry.blockFd);
    if (g_registry.lockFd >= 0)
        close(g_registry.lockFd);
    g_registry = RegistryState();
}

AssetDbBlock InitialBlock(int32_t ownPid)
{
    AssetDbBlock block;
    std::memset(&block, 0, sizeof(block));
    block.masterPid = ownPid;
    block.ownerPid = -1;
    block.requesterPid = -1;
    block.reserved0 = 0;
    block.countingEnabled = 2;
    block.userCount = 1;
    block.exclusivePid = 0;
    block.lentFlag = 0;
    return block;
}

// 0 and -1 stand for "none" in the block (and would address process groups in kill).
bool ProcessAlive(int32_t pid, int32_t ownPid)
{
    if (pid <= 0 || pid == ownPid)
        return false;
    return kill(pid, 0) == 0 || errno == EPERM;
}

// True when nobody but this process uses the objects: no attached program holds its shared lock
// on the block and no process the block names is alive. Leaves the block locked exclusively when
// only the process ids keep it alive; the caller goes back to its shared lock or closes it.
bool NobodyUsesBlock(int blockFd, const AssetDbBlock &block, int32_t ownPid)
{
    if (flock(blockFd, LOCK_EX | LOCK_NB) != 0)
        return false;
    return !ProcessAlive(block.masterPid, ownPid) && !ProcessAlive(block.ownerPid, ownPid) &&
           !ProcessAlive(block.exclusivePid, ownPid);
}

// Opens the block and decides whether this process starts the registry afresh. False when the
// block is not one the patcher may use (of another type or size, or held exclusively by someone
// for longer than a wait may last): that registry counts as in use.
bool OpenBlock(bool &isNew)
{
    g_registry.blockFd =
        shm_open(g_registry.blockName.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, kObjectMode);
    struct stat info;
    if (g_registry.blockFd < 0 || !IsPlainFile(g_registry.blockFd, info))
    {
        ZelkSystemLog("AssetDbIpc::Open> cannot use the block %s: %s\n", g_registry.blockName.c_str(),
                      g_registry.blockFd < 0 ? std::strerror(errno) : "no plain file");
        return false;
    }
    fchmod(g_registry.blockFd, kObjectMode);
    AssetDbBlock block;
    if (info.st_size == 0)
    {
        // Never sized: its creator died before it was set up, or someone cut a block short. It
        // is started afresh only when no attached program holds it.
        isNew = flock(g_registry.blockFd, LOCK_EX | LOCK_NB) == 0;
        if (isNew && ftruncate(g_registry.blockFd, sizeof(AssetDbBlock)) != 0)
        {
            ZelkSystemLog("AssetDbIpc::Open> cannot size the block: %s\n", std::strerror(errno));
            return false;
        }
    }
    else if (info.st_size != static_cast<off_t>(sizeof(AssetDbBlock)) || !ReadBlock(block))
    {
        ZelkSystemLog("AssetDbIpc::Open> the block %s has %lld bytes, not %zu\n", g_registry.blockName.c_str(),
                      static_cast<long long>(info.st_size), sizeof(AssetDbBlock));
        return false;
    }
    else
    {
        // Objects that every program has left (they died, which on Windows would have destroyed
        // the objects) are started afresh with this process as their creator.
        isNew = NobodyUsesBlock(g_registry.blockFd, block, g_registry.ownPid);
    }
    if (!isNew && info.st_size == 0)
        return false;
    if (WaitForFileLock(g_registry.blockFd, LOCK_SH) != LockWaitResult::Taken)
    {
        ZelkSystemLog("AssetDbIpc::Open> cannot lock the block %s\n", g_registry.blockName.c_str());
        return false;
    }
    return true;
}
} // namespace

namespace AssetDbIpc
{
std::string RegistryKey(const std::string &path)
{
    std::string folder;
    std::string key;
    if (!SplitDatabasePath(path, folder, key))
        return std::string();
    return key;
}

bool Open(const std::string &path, bool allowWhenLent)
{
    if (g_registry.lockFd >= 0)
        return true;
    std::string folder;
    std::string key;
    if (!SplitDatabasePath(path, folder, key))
        return false;
    if (folder.empty() || access(folder.c_str(), F_OK) != 0)
        return false;

    RegistryState state;
    state.ownPid = static_cast<int32_t>(getpid());
    state.lockPath = kLockDirectory + EncodeName(key);
    state.blockName = "/" + EncodeName(AppendPath(key, kBlockSuffix));
    // The mutex is held through the attach decision so that a closing last program cannot remove
    // the objects between our look at them and our registration.
    state.lockFd = OpenLockedMutex(state.lockPath);
    if (state.lockFd < 0)
        return false;
    g_registry = state;
    // Windows drops a process's registration when the process ends; here a program that leaves
    // without closing would keep the objects in /dev/shm until the next opener finds them unused.
    static const bool closesAtExit = std::atexit(Close) == 0;
    (void)closesAtExit;

    bool isNew = false;
    if (!OpenBlock(isNew))
    {
        ReleaseObjects();
        return false;
    }
    if (isNew)
    {
        g_registry.isMaster = true;
        const AssetDbBlock block = InitialBlock(g_registry.ownPid);
        if (pwrite(g_registry.blockFd, &block, sizeof(block), 0) != static_cast<ssize_t>(sizeof(block)))
        {
            ReleaseObjects();
            return false;
        }
        LockFile(g_registry.lockFd, LOCK_UN);
        return true;
    }
    AssetDbBlock block;
    const bool readable = ReadBlock(block);
    LockFile(g_registry.lockFd, LOCK_UN);
    if (readable && (block.exclusivePid == 0 || (allowWhenLent && block.lentFlag)))
    {
        if (block.countingEnabled >= 1)
            WriteField(&AssetDbBlock::userCount, static_cast<uint8_t>(block.userCount + 1));
        else
            WriteField(&AssetDbBlock::userCount, kUserCountNotKept);
        return true;
    }
    Close();
    return false;
}

uint8_t UserCount()
{
    AssetDbBlock block;
    return ReadBlock(block) ? block.userCount : 0;
}

bool TryAcquireOwnership(bool request)
{
    AssetDbBlock block;
    if (!ReadBlock(block))
        return false;
    const int32_t own = g_registry.ownPid;
    if (block.ownerPid == own)
        return true;
    if (!TakeMutex())
        return false;
    bool acquired = false;
    if (ReadBlock(block))
    {
        if (block.ownerPid == -1 && (block.requesterPid == -1 || block.requesterPid == own))
        {
            WriteField(&AssetDbBlock::ownerPid, own);
            WriteField(&AssetDbBlock::requesterPid, -1);
            acquired = true;
        }
        else if (block.requesterPid == -1 && request)
        {
            WriteField(&AssetDbBlock::requesterPid, own);
        }
    }
    ReleaseMutex();
    return acquired;
}

bool RequestExclusive()
{
    AssetDbBlock block;
    if (!ReadBlock(block) || block.exclusivePid != 0 || block.userCount > 1 || !TryAcquireOwnership(true))
        return false;
    WriteField(&AssetDbBlock::exclusivePid, g_registry.ownPid);
    return true;
}

bool Lend()
{
    AssetDbBlock block;
    if (!ReadBlock(block) || block.exclusivePid != g_registry.ownPid)
        return false;
    WriteField(&AssetDbBlock::lentFlag, 1);
    if (block.ownerPid == g_registry.ownPid)
        WriteField(&AssetDbBlock::ownerPid, -1);
    return true;
}

bool Reclaim()
{
    AssetDbBlock block;
    if (!ReadBlock(block) || block.exclusivePid != g_registry.ownPid || block.userCount > 1)
        return false;
    WriteField(&AssetDbBlock::lentFlag, 0);
    return TryAcquireOwnership(true);
}

void EndExclusive()
{
    AssetDbBlock block;
    if (g_registry.lockFd < 0 || !ReadBlock(block) || block.exclusivePid != g_registry.ownPid)
        return;
    WriteField(&AssetDbBlock::exclusivePid, 0);
    if (block.ownerPid == g_registry.ownPid)
        WriteField(&AssetDbBlock::ownerPid, -1);
}

void Close()
{
    if (g_registry.lockFd < 0)
        return;
    AssetDbBlock block;
    if (ReadBlock(block))
    {
        if (block.ownerPid == g_registry.ownPid)
            WriteField(&AssetDbBlock::ownerPid, -1);
        if (g_registry.isMaster)
        {
            // A mutex that stays held does not keep this process registered: the stores are made
            // without it then.
            const bool locked = TakeMutex();
            if (ReadBlock(block))
            {
                WriteField(&AssetDbBlock::masterPid, -1);
                if (block.countingEnabled >= 1)
                    WriteField(&AssetDbBlock::userCount, static_cast<uint8_t>(block.userCount - 1));
            }
            if (locked)
                ReleaseMutex();
        }
    }
    // Last one out removes the objects, under the mutex so that an opener cannot attach to
    // objects that are being removed (it sees the lock file unlinked and starts again).
    if (TakeMutex() && g_registry.blockFd >= 0)
    {
        LockFile(g_registry.blockFd, LOCK_UN);
        // A block cut short names no process: whether a program holds it tells alone.
        const bool unused = ReadBlock(block) ? NobodyUsesBlock(g_registry.blockFd, block, g_registry.ownPid)
                                             : flock(g_registry.blockFd, LOCK_EX | LOCK_NB) == 0;
        if (unused)
        {
            shm_unlink(g_registry.blockName.c_str());
            unlink(g_registry.lockPath.c_str());
        }
    }
    ReleaseObjects();
}

bool IsOpen()
{
    return g_registry.lockFd >= 0;
}

bool IsMaster()
{
    return g_registry.isMaster;
}

void SetCountingEnabled(uint32_t value)
{
    if (g_registry.blockFd >= 0)
        WriteField(&AssetDbBlock::countingEnabled, value);
}

void ReleaseLivenessLock()
{
    if (g_registry.blockFd >= 0)
        LockFile(g_registry.blockFd, LOCK_UN);
}

bool HoldRegistryMutex()
{
    if (g_registry.lockFd < 0 || !LockFile(g_registry.lockFd, LOCK_EX))
        return false;
    g_registry.holdingMutex = true;
    return true;
}

bool PeekBlock(const std::string &path, AssetDbBlock &block)
{
    const std::string key = RegistryKey(path);
    if (key.empty())
        return false;
    const std::string name = "/" + EncodeName(AppendPath(key, kBlockSuffix));
    // Non-blocking: a FIFO planted in the block's place must not stall a look at it.
    const int fd = shm_open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct stat info;
    const ssize_t got = IsPlainFile(fd, info) ? pread(fd, &block, sizeof(block), 0) : -1;
    close(fd);
    return got == static_cast<ssize_t>(sizeof(block));
}
} // namespace AssetDbIpc
