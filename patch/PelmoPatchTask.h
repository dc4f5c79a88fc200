// The object through which the patch code works for one run: it reports to whoever presents the
// run, and it holds the state of the run's downloads and of the patch list it took from a server.
// The run's worker derives from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kernel/ZelkTypes.h"
#include "patch/PublisherKey.h"
#include "patch/SHA256.h"

class ZelkDataBuffer;
class ZelkDataBufferMemoryDynamic;
class ZelkTransferCallback;

// What the window's progress line shows while a file is fetched.
struct TransferProgress
{
    uint64_t bytesDone = 0;
    uint64_t expectedSize = 0;
    uint32_t percent = 0;
};

// One step of the chain: where the step leads and where its package archive is.
struct PatchListEntry
{
    std::string targetVersion;
    std::wstring exeUrl;
    std::wstring dataUrl;
    // What a signed list says of the package archive ("patch-data-sha256", "patch-data-size");
    // older lists say nothing, and older patchers ignore both keys. A value that is there but not
    // well formed sets integrityMalformed, and the entry then never counts as signed.
    std::optional<Sha256Digest> dataSha256;
    std::optional<uint64_t> dataSize;
    bool integrityMalformed = false;
};

class PelmoPatchTask
{
public:
    // transferState while a download is under way, and once a package is being applied.
    static constexpr uint32_t kTransferRunning = 1;
    static constexpr uint32_t kTransferIdle = 3;

    PelmoPatchTask() = default;
    virtual ~PelmoPatchTask() = default;
    PelmoPatchTask(const PelmoPatchTask &) = delete;
    PelmoPatchTask &operator=(const PelmoPatchTask &) = delete;

    // The two report operations, narrow and wide text, in this order.
    virtual void Report(MessageLevel level, const std::string &text) = 0;
    virtual void Report(MessageLevel level, const std::wstring &text) = 0;

    // Transfers ----------------------------------------------------------------------------------

    // Asks the server for the size of the file; the size (0 after a failure) is kept as the
    // expected size of the next download.
    bool QueryFileSize(const std::wstring &address);
    // Fetches the address into the file at path. An existing file is continued where it ends
    // (an earlier, interrupted attempt) and cut to the download's length at the end. Reports its
    // own failure at level 2.
    bool DownloadToFile(const std::wstring &address, const std::wstring &path, ZelkTransferCallback *callback);
    // Called by the window's timer on the GUI thread while the worker downloads.
    TransferProgress GetTransferProgress();
    uint64_t ExpectedSize() const { return m_expectedSize.load(); }
    uint32_t TransferState() const { return m_transferState.load(); }
    void SetTransferState(uint32_t state) { m_transferState.store(state); }

    // Patch list -------------------------------------------------------------------------------

    // Takes the list of the first server (in order) that serves "patches.txt" with at least one
    // valid entry. Reports at level 0 why a server was passed over.
    bool FetchPatchList(const std::vector<std::wstring> &servers);
    // From now on a list is taken only when the same server's "patches.txt.sig" holds the key's
    // signature over its exact bytes, and it gives a well-formed serial not older than the newest
    // this machine has accepted. A list that fails counts as that server's failed list.
    void RequireSignedLists(const PublisherKey &key) { m_listKey = key; }
    bool SignedListsRequired() const { return m_listKey.has_value(); }
    // True when at least one entry of the list in buffer was accepted.
    bool ParsePatchList(ZelkDataBuffer &buffer, const std::wstring &base);
    // One entry (its lines only) into the list; relative data addresses are joined to base.
    bool ParsePatchEntry(ZelkDataBuffer &block, const std::wstring &base);
    // The step that starts at sourceVersion, or null.
    const PatchListEntry *FindPatchEntry(const std::string &sourceVersion) const;
    // The base address of the server whose list was taken; empty when none was.
    std::wstring CurrentServer() const { return m_currentServer; }
    // The "list-serial" of the last list parsed: none when it gives none. Malformed when it gives
    // one that is not a decimal number, or two that differ; such a list cannot be judged.
    std::optional<uint64_t> ListSerial() const { return m_listSerial; }
    bool ListSerialMalformed() const { return m_listSerialMalformed; }

private:
    // The window reads the download's progress from another thread: the file being written is
    // published under the mutex, and the counters are atomic.
    std::mutex m_mutex;
    ZelkDataBuffer *m_currentFile = nullptr;
    // The position of the file being written, published by the worker after every piece.
    std::atomic<uint64_t> m_filePosition{0};
    std::atomic<uint32_t> m_transferState{0};
    std::atomic<uint64_t> m_bytesDone{0};
    std::atomic<uint64_t> m_expectedSize{0};
    std::atomic<uint32_t> m_percent{0};

    void NoteListSerial(const std::map<std::string, std::string> &values);
    // Why the list just fetched from server may not be used; empty when it may.
    std::wstring RefuseUnsignedList(const std::wstring &server, ZelkDataBufferMemoryDynamic &list);
    std::wstring RefuseOldList();

    std::wstring m_currentServer;
    std::map<std::string, PatchListEntry> m_patchList;
    std::optional<uint64_t> m_listSerial;
    bool m_listSerialMalformed = false;
    std::optional<PublisherKey> m_listKey;
};
