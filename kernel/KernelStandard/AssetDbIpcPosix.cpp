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
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    AssetDbBlock *block = nullptr;
    bool isMaster = false;
    bool holdingMutex = false;
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

void TakeMutex()
{
    if (!g_registry.holdingMutex)
        LockFile(g_registry.lockFd, LOCK_EX);
}

void ReleaseMutex()
{
    if (!g_registry.holdingMutex)
        LockFile(g_registry.lockFd, LOCK_UN);
}

// Opens the lock file and takes the mutex, retrying when the last program removed the file
// between our open and our lock.
int OpenLockedMutex(const std::string &lockPath)
{
    for (;;)
    {
        const int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kObjectMode);
        if (fd < 0)
        {
            ZelkSystemLog("AssetDbIpc::Open> cannot open %s: %s\n", lockPath.c_str(), std::strerror(errno));
            return -1;
        }
        fchmod(fd, kObjectMode);
        struct stat info;
        if (!LockFile(fd, LOCK_EX) || fstat(fd, &info) != 0)
        {
            close(fd);
            return -1;
        }
        if (info.st_nlink > 0)
            return fd;
        close(fd);
    }
}

void ReleaseObjects()
{
    if (g_registry.block)
        munmap(g_registry.block, sizeof(AssetDbBlock));
    if (g_registry.blockFd >= 0)
        close(g_registry.blockFd);
    if (g_registry.lockFd >= 0)
        close(g_registry.lockFd);
    g_registry = RegistryState();
}

void InitialiseBlock(AssetDbBlock &block, int32_t ownPid)
{
    std::memset(&block, 0, sizeof(block));
    block.masterPid = ownPid;
    block.ownerPid = -1;
    block.requesterPid = -1;
    block.reserved0 = 0;
    block.countingEnabled = 2;
    block.userCount = 1;
    block.exclusivePid = 0;
    block.lentFlag = 0;
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

    g_registry.blockFd = shm_open(state.blockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kObjectMode);
    struct stat info;
    if (g_registry.blockFd < 0 || fstat(g_registry.blockFd, &info) != 0)
    {
        ZelkSystemLog("AssetDbIpc::Open> cannot open the block %s: %s\n", state.blockName.c_str(),
                      std::strerror(errno));
        ReleaseObjects();
        return false;
    }
    fchmod(g_registry.blockFd, kObjectMode);
    // A block that was never sized belongs to a creator that died before it was set up.
    const bool fresh = info.st_size < static_cast<off_t>(sizeof(AssetDbBlock));
    if (fresh && ftruncate(g_registry.blockFd, sizeof(AssetDbBlock)) != 0)
    {
        ZelkSystemLog("AssetDbIpc::Open> cannot size the block: %s\n", std::strerror(errno));
        shm_unlink(state.blockName.c_str());
        ReleaseObjects();
        return false;
    }
    void *mapped = mmap(nullptr, sizeof(AssetDbBlock), PROT_READ | PROT_WRITE, MAP_SHARED, g_registry.blockFd, 0);
    if (mapped == MAP_FAILED)
    {
        ZelkSystemLog("AssetDbIpc::Open> cannot map the block: %s\n", std::strerror(errno));
        ReleaseObjects();
        return false;
    }
    g_registry.block = static_cast<AssetDbBlock *>(mapped);
    // Objects that every program has left (they died, which on Windows would have destroyed the
    // objects) are started afresh with this process as their creator.
    const bool isNew = fresh || NobodyUsesBlock(g_registry.blockFd, *g_registry.block, state.ownPid);
    if (!LockFile(g_registry.blockFd, LOCK_SH))
    {
        ZelkSystemLog("AssetDbIpc::Open> cannot lock the block: %s\n", std::strerror(errno));
        ReleaseObjects();
        return false;
    }

    AssetDbBlock &block = *g_registry.block;
    if (isNew)
    {
        g_registry.isMaster = true;
        InitialiseBlock(block, g_registry.ownPid);
        LockFile(g_registry.lockFd, LOCK_UN);
        return true;
    }
    LockFile(g_registry.lockFd, LOCK_UN);
    if (block.exclusivePid == 0 || (allowWhenLent && block.lentFlag))
    {
        if (block.countingEnabled >= 1)
            block.userCount = static_cast<uint8_t>(block.userCount + 1);
        else
            block.userCount = kUserCountNotKept;
        return true;
    }
    Close();
    return false;
}

uint8_t UserCount()
{
    return g_registry.block ? g_registry.block->userCount : 0;
}

bool TryAcquireOwnership(bool request)
{
    if (!g_registry.block)
        return false;
    AssetDbBlock &block = *g_registry.block;
    const int32_t own = g_registry.ownPid;
    if (block.ownerPid == own)
        return true;
    TakeMutex();
    bool acquired = false;
    if (block.ownerPid == -1 && (block.requesterPid == -1 || block.requesterPid == own))
    {
        block.ownerPid = own;
        block.requesterPid = -1;
        acquired = true;
    }
    else if (block.requesterPid == -1 && request)
    {
        block.requesterPid = own;
    }
    ReleaseMutex();
    return acquired;
}

bool RequestExclusive()
{
    if (!g_registry.block)
        return false;
    AssetDbBlock &block = *g_registry.block;
    if (block.exclusivePid != 0 || block.userCount > 1 || !TryAcquireOwnership(true))
        return false;
    block.exclusivePid = g_registry.ownPid;
    return true;
}

bool Lend()
{
    if (!g_registry.block || g_registry.block->exclusivePid != g_registry.ownPid)
        return false;
    AssetDbBlock &block = *g_registry.block;
    block.lentFlag = 1;
    if (block.ownerPid == g_registry.ownPid)
        block.ownerPid = -1;
    return true;
}

bool Reclaim()
{
    if (!g_registry.block)
        return false;
    AssetDbBlock &block = *g_registry.block;
    if (block.exclusivePid != g_registry.ownPid || block.userCount > 1)
        return false;
    block.lentFlag = 0;
    return TryAcquireOwnership(true);
}

void EndExclusive()
{
    if (!g_registry.block || g_registry.lockFd < 0)
        return;
    AssetDbBlock &block = *g_registry.block;
    if (block.exclusivePid != g_registry.ownPid)
        return;
    block.exclusivePid = 0;
    if (block.ownerPid == g_registry.ownPid)
        block.ownerPid = -1;
}

void Close()
{
    if (g_registry.lockFd < 0)
        return;
    if (g_registry.block)
    {
        AssetDbBlock &block = *g_registry.block;
        if (block.ownerPid == g_registry.ownPid)
            block.ownerPid = -1;
        if (g_registry.isMaster)
        {
            TakeMutex();
            block.masterPid = -1;
            if (block.countingEnabled >= 1)
                block.userCount = static_cast<uint8_t>(block.userCount - 1);
            ReleaseMutex();
        }
    }
    // Last one out removes the objects, under the mutex so that an opener cannot attach to
    // objects that are being removed (it sees the lock file unlinked and starts again).
    LockFile(g_registry.lockFd, LOCK_EX);
    if (g_registry.block)
    {
        LockFile(g_registry.blockFd, LOCK_UN);
        if (NobodyUsesBlock(g_registry.blockFd, *g_registry.block, g_registry.ownPid))
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
    if (g_registry.block)
        g_registry.block->countingEnabled = value;
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
    const int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const ssize_t got = pread(fd, &block, sizeof(block), 0);
    close(fd);
    return got == static_cast<ssize_t>(sizeof(block));
}
} // namespace AssetDbIpc
