// The per-installation instance registry shared with the running product: a named mutex and a
// 32-byte block of named shared memory, keyed by the installation's asset database folder. Every
// product program that opens the asset database registers itself here, which is how the patcher
// learns that the product still holds the installation and how it keeps the others out while it
// patches. The names and the block layout are shared with the other product programs and fixed.
//
// All operations are process-wide and act on the one registry this process has open; they
// return without effect while none is open. The patcher calls them from its worker thread only.
#pragma once

#include <cstdint>
#include <string>

// The shared block as it lies in memory (little-endian, 32 bytes).
struct AssetDbBlock
{
    int32_t masterPid;        // the creator, -1 when none
    int32_t ownerPid;         // current database owner, -1 when none
    int32_t requesterPid;     // waiting to become owner, -1 when none
    int32_t reserved0;        // 0 at creation
    uint32_t countingEnabled; // 2 at creation; at least 1: userCount counts attached programs
    uint8_t userCount;        // attached programs; 255: the count is not kept
    uint8_t reserved1[3];
    int32_t exclusivePid;     // holder of the exclusive hold, 0 when none
    uint8_t lentFlag;         // 1 while the exclusive holder has lent the database
    uint8_t reserved2[3];
};
static_assert(sizeof(AssetDbBlock) == 32, "the block layout is shared with the product");

constexpr uint8_t kUserCountNotKept = 255;

namespace AssetDbIpc
{
// Registers this process for the asset database at path (UTF-8; must end in "assets.kdx",
// compared after lower-casing A-Z). Creates the registry as master when no program uses it (none
// is registered, or all that were died), otherwise joins it unless another program holds it
// exclusively (allowWhenLent admits a lent hold). Any path length works: names too long for the
// system are replaced by a digest. Any account may write the shared objects, so a block of the
// wrong type or size, or a mutex held past the deadline of kernel/LockWait.h, means "in use"
// (false); LastLockWaitResult tells the latter.
bool Open(const std::string &path, bool allowWhenLent);
uint8_t UserCount();
bool RequestExclusive();
bool TryAcquireOwnership(bool request);
bool Lend();
bool Reclaim();
void EndExclusive();
// Detaches; the last program to close removes the registry's objects, unless a process the block
// names is still alive.
void Close();

bool IsOpen();
bool IsMaster();
// Used by the product stand-in, which creates its registry without a user count.
void SetCountingEnabled(uint32_t value);
// Used by the product stand-in to act as a product program that keeps the registry's rules but
// not the shared lock that tells an attached program is alive.
void ReleaseLivenessLock();
// Takes the registry mutex and keeps it until Close; lets the stand-in die holding it.
bool HoldRegistryMutex();

// The registry key K for an asset database path (empty when the path is not acceptable); paths
// that differ only in case give the same key.
std::string RegistryKey(const std::string &path);
// Reads the block of the registry for path without registering: false when no such registry
// exists. For checks and diagnostics.
bool PeekBlock(const std::string &path, AssetDbBlock &block);
} // namespace AssetDbIpc
