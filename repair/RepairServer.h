// The publisher's end of the repair connection: the reference summary of a tree of files, the
// choice of the records a client needs to make its installation equal to that tree, and the server
// that answers many clients at once. The patcher's end is the repair client; the wire format is in
// RepairProtocol.h.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kernel/ConfinedDirectory.h"
#include "kernel/ZelkTypes.h"
#include "net/TCPSocket.h"
#include "net/ZelkDataBuffer.h"
#include "repair/FileTreeSummary.h"

// One file of the reference tree.
struct ReferenceFile
{
    std::wstring name;              // relative path with '\' separators, as in the client's keys
    uint64_t size = 0;
    int64_t modifiedTime = 0;       // seconds since 1970-01-01 UTC
    std::vector<uint32_t> checksums; // one per segment; none for an empty file
    uint64_t firstSegment = 0;      // position of the file's first segment among all of the tree's
};

// The summary of the tree a server repairs towards, computed once. The files at its top that belong
// to an installation rather than to the build ("repair.cks", "unins000.exe", "unins000.dat",
// "patch-journal.txt") are left out, and so is the cache file when it lies in the tree: no client is
// sent them, and none has its own deleted. The tree is read only beneath its root, held open from
// the walk on: a file reached through a link that leads out of the root, or nowhere, is left out
// too, and one whose link is made to lead out after the walk cannot be opened to be served.
class ReferenceTree
{
public:
    // A place in the order of every key a record for the tree can carry: the segments of each
    // file, and the index one past its last, where a cut goes (an empty file's only key, index 0,
    // is where its record goes).
    struct KeySlot
    {
        uint32_t file = 0;
        uint32_t index = 0;
    };

    // Summarises root. With a cache path, a file whose size and modification time are those the
    // cache holds keeps its checksums without being read, and the cache is written anew when
    // anything changed. A cache that is missing, damaged or made for another root only costs time.
    // False, with the reason in error, when root cannot be walked or a file cannot be read.
    bool Build(const std::wstring &root, const std::wstring &cachePath, std::string &error);

    const std::wstring &GetRoot() const { return m_root; }
    // In the order of their names' UTF-16 code units.
    const std::vector<ReferenceFile> &GetFiles() const { return m_files; }
    // The file of a relative name ('\' separators), or null.
    const ReferenceFile *FindFile(const std::wstring &name) const;
    uint64_t GetSegmentCount() const { return m_segmentCount; }
    // Segments the last Build read from disk; the others came from the cache.
    uint64_t GetSegmentsRead() const { return m_segmentsRead; }
    // The file's path on disk.
    std::wstring DiskPath(const ReferenceFile &file) const;
    // The file opened for reading beneath the root; null when it cannot be (it is gone, or a link
    // on its way now leads out of the root).
    std::unique_ptr<ZelkDataBufferFile> OpenFile(const ReferenceFile &file) const;
    // Relative names ('\' separators) of the files left out because a link on their way leads out
    // of the root or nowhere, in key order.
    const std::vector<std::wstring> &GetLinksLeadingOut() const { return m_linksLeadingOut; }
    // Every file's key slots in the order of the keys, so that each client's records come out in
    // that order without being gathered and sorted per client.
    const std::vector<KeySlot> &GetKeyOrder() const { return m_keyOrder; }
    // The UTF-16LE bytes of a file's name, as keys are ordered and sent.
    std::string_view GetNameUnits(size_t file) const;

private:
    bool Walk(const std::wstring &cachePath, std::vector<ReferenceFile> &files, std::string &error);
    void OrderKeys();

    std::wstring m_root;
    std::unique_ptr<ConfinedDirectory> m_directory;
    std::vector<ReferenceFile> m_files;
    std::vector<std::wstring> m_linksLeadingOut;
    uint64_t m_segmentCount = 0;
    uint64_t m_segmentsRead = 0;
    std::string m_nameUnits;            // every file's name, one after the other
    std::vector<uint32_t> m_nameStarts; // where each begins in m_nameUnits, and one past the last
    std::vector<KeySlot> m_keyOrder;
};

// The cache file of a reference tree, with the names of the files left out for their links; both
// false on any failure (a load then leaves files and links empty).
bool LoadReferenceCache(const std::wstring &path, const std::wstring &root, std::vector<ReferenceFile> &files,
                        std::vector<std::wstring> &linksLeadingOut);
bool SaveReferenceCache(const std::wstring &path, const std::wstring &root, const std::vector<ReferenceFile> &files,
                        const std::vector<std::wstring> &linksLeadingOut);

enum class RepairRecordKind
{
    Segment,   // a segment the client lacks or holds with other bytes
    Cut,       // checksum 0 past the end of a reference file the client has longer
    Deletion,  // checksum 0 at index 0 of a file the reference lacks
    EmptyFile, // a raw record with checksum 1 and no bytes: the client creates or empties the file
};

// The memory that the server's connections may hold between them. A connection takes its share
// as its needs grow and gives it back when it ends, so that the server's size follows its limit
// whatever the clients send.
class MemoryBudget
{
public:
    explicit MemoryBudget(size_t limit) : m_limit(limit) {}

    // False, with nothing taken, when the bytes would leave less than keepFree below the limit.
    bool TryTake(size_t bytes, size_t keepFree = 0);
    // Counts memory that is in use already, whatever the total: new takers then see it.
    void Take(size_t bytes);
    void Give(size_t bytes);
    size_t GetUsed() const { return m_used.load(std::memory_order_relaxed); }
    size_t GetLimit() const { return m_limit; }

private:
    const size_t m_limit;
    std::atomic<size_t> m_used{0};
};

// What one holder took from a budget (nothing without a budget), given back when it goes.
class BudgetShare
{
public:
    explicit BudgetShare(MemoryBudget *budget) : m_budget(budget) {}
    ~BudgetShare() { Clear(); }
    BudgetShare(const BudgetShare &) = delete;
    BudgetShare &operator=(const BudgetShare &) = delete;

    // MemoryBudget::TryTake and MemoryBudget::Take, for this holder.
    bool Grow(size_t bytes, size_t keepFree = 0);
    void Hold(size_t bytes);
    void Clear();

private:
    MemoryBudget *m_budget;
    size_t m_bytes = 0;
};

struct PlannedRecord
{
    std::wstring key;
    RepairRecordKind kind = RepairRecordKind::Segment;
    const ReferenceFile *file = nullptr; // null for a deletion
    uint64_t index = 0;
};

// Compares one client's summary with the reference, entry by entry as it arrives, and chooses the
// records that client needs. What it keeps per client is one checksum per segment of the reference
// and the names of the client's files the reference lacks, within their bounds and in their wire
// form; the records themselves are made one at a time as they are sent.
class RepairPlanner
{
public:
    // Files of a client that the reference lacks, and the code units of their names: a real
    // installation comes nowhere near; a summary beyond them only costs the server memory.
    static constexpr size_t kMaxExtraFiles = 200000;
    static constexpr size_t kMaxExtraNameUnits = 4 * 1024 * 1024;

    // With a budget, the planner's memory is taken from it; when the budget cannot give it, the
    // planner is over the budget and takes no further entry. The names of extra files, the one
    // part a client makes grow, never take the budget's last eighth: that stays for the clients
    // that come next, however many such summaries arrive at once.
    explicit RepairPlanner(const ReferenceTree &reference, MemoryBudget *budget = nullptr);

    // One entry of the client's summary. Keys that no scan makes (no canonical index, '/' or a
    // name that leaves the installation) are passed over: echoing them back would only make the
    // client refuse the record. So are the installation's own files. False when the client's extra
    // files outgrow their bounds or the budget. A file's further segments cost nothing when they
    // follow its first, as they do in a summary in key order.
    bool AddClientEntry(const std::wstring &key, uint32_t checksum);
    bool IsOverBudget() const { return m_overBudget; }
    // Ends the summary; then the records can be counted and made.
    void Finish();
    uint64_t GetRecordCount() const { return m_recordCount; }
    // Hands each record to visit in key order until visit returns false; false then.
    bool EachRecord(const std::function<bool(const PlannedRecord &record)> &visit) const;

private:
    struct ExtraName
    {
        uint32_t start = 0; // in m_extraUnits, in bytes
        uint32_t bytes = 0;
    };

    bool MakeRoomForExtra(size_t nameBytes);
    std::string_view ExtraUnits(const ExtraName &name) const;
    // The record of a key slot, false when the client needs none there.
    bool RecordAt(const ReferenceTree::KeySlot &slot, PlannedRecord &record) const;

    const ReferenceTree &m_reference;
    MemoryBudget *m_budget;
    BudgetShare m_share;
    bool m_overBudget = false;
    std::vector<uint32_t> m_clientChecksums; // by segment position; 0: the client lacks it
    std::vector<uint8_t> m_clientLonger;     // by file: the client has segments past its end
    std::string m_extraUnits;                // UTF-16LE names of files the reference lacks
    std::vector<ExtraName> m_extras;         // in key order and distinct after Finish
    size_t m_extraUnitsRoom = 0;             // bytes taken from the budget for each
    size_t m_extrasRoom = 0;
    uint64_t m_recordCount = 0;
};

// Reads a client's summary from source into the planner, with the bounds the client's own loader
// applies, entry by entry so that a claimed count never sizes anything. ZELKRESULT_BAD_FORMAT with
// the reason in problem for a summary that breaks them; a failed read's code otherwise.
ZELKRESULT ReadClientSummary(ZelkDataBuffer &source, RepairPlanner &planner, uint32_t &entries, std::string &problem);

// A segment's record payload, as every client gets it.
struct PreparedSegment
{
    bool compressed = false;
    uint32_t checksum = 0; // of the bytes read, which the payload holds or expands to
    std::vector<uint8_t> payload;
};

// Reads and compresses the segments that clients ask for, each once while it stays in memory:
// clients repairing the same damage share the work and the bytes. Compression runs on at most as
// many threads as the machine has processors, however many clients wait.
class SegmentStore
{
public:
    SegmentStore(const ReferenceTree &reference, size_t budgetBytes);

    // Null when the segment cannot be read (the tree changed under the server).
    std::shared_ptr<const PreparedSegment> Get(const ReferenceFile &file, uint64_t index);

private:
    using Result = std::shared_ptr<const PreparedSegment>;
    struct Slot
    {
        std::shared_future<Result> ready;
        size_t bytes = 0;
        std::list<uint64_t>::iterator age;
    };

    Result Prepare(const ReferenceFile &file, uint64_t index);
    void Settle(uint64_t position, const Result &result);

    const ReferenceTree &m_reference;
    const size_t m_budget;
    std::counting_semaphore<64> m_compressors;
    std::mutex m_lock;
    std::map<uint64_t, Slot> m_slots;
    std::list<uint64_t> m_ages; // least recently used first
    size_t m_bytes = 0;
};

// What one connection did, for its log line.
struct RepairSessionReport
{
    std::string peer;
    uint32_t entries = 0;
    uint32_t rawSegments = 0;
    uint32_t compressedSegments = 0;
    uint32_t cuts = 0;
    uint32_t deletions = 0;
    uint32_t emptyFiles = 0;
    uint64_t bytesSent = 0;
    double seconds = 0;
    std::string outcome; // "done", or what ended the connection early

    std::string Describe() const;
};

// One client's exchange on a connection, from its version to the last record. The caller closes
// the connection afterwards, whatever the result. With a budget, the client's bookkeeping and the
// segment being sent to it are counted in it, and a client whose bookkeeping the budget cannot
// hold is told the version and no more.
bool ServeRepairSession(ZelkDataBuffer &connection, const ReferenceTree &reference, SegmentStore &store,
                        RepairSessionReport &report, MemoryBudget *budget = nullptr);

struct RepairServerOptions
{
    IPv4Endpoint address{0, 6000};
    // A transfer that moves nothing for this long ends its connection.
    std::chrono::seconds idleLimit{120};
    // Connections served at once, and from one address; a connection beyond either is closed as
    // soon as it is accepted.
    size_t maxConnections = 256;
    size_t maxPerAddress = 16;
    // What the server holds for its clients: a quarter at most (and no more than 64 MiB) keeps
    // segments prepared for one client for the next, the rest is the connections' budget. A
    // connection that comes while the budget is spent is closed as soon as it is accepted.
    size_t memoryLimit = size_t(512) * 1024 * 1024;
    // A client that, over this much time in which the server waits on it, moves fewer than
    // slowFloor bytes a second is dropped: a trickle holds a connection as long as silence would.
    std::chrono::milliseconds slowWindow{30000};
    size_t slowFloor = 1024;
};

// Accepts clients and serves each on a thread of its own until Stop.
class RepairServer
{
public:
    using LogSink = std::function<void(const std::string &line)>;

    RepairServer(const ReferenceTree &reference, const RepairServerOptions &options, LogSink log);
    ~RepairServer();
    RepairServer(const RepairServer &) = delete;
    RepairServer &operator=(const RepairServer &) = delete;

    // Binds and listens; the mapped code of the failure otherwise.
    ZELKRESULT Listen();
    // The bound address (with the port the system chose for port 0).
    IPv4Endpoint GetAddress() const;
    // Serves until Stop; returns once every connection has ended.
    void Run();
    // From any thread (a signal's): no new connection, open ones closed hard.
    void Stop();
    // What the connections hold of their budget now.
    size_t GetMemoryInUse() const { return m_budget.GetUsed(); }
    // Connections accepted so far, served or refused.
    uint64_t GetConnectionsAccepted() const { return m_accepted.load(); }

private:
    struct Connection;

    // Why a connection is closed as soon as it is accepted.
    enum class Refusal
    {
        None,
        Busy,
        AddressBusy,
        OverMemoryLimit,
        NoThread,
        Count
    };

    // Why a new connection from the address cannot be served now; None when it can (its share
    // of the budget is then taken).
    Refusal Admit(uint32_t address, BudgetShare &share);
    void Refuse(const IPv4Endpoint &peer, Refusal refusal);
    void Serve(Connection &connection);
    void Watch();
    void LookAt(Connection &connection, int64_t now, int64_t sinceLastLook);
    // Joins the connections that have ended; true when there were any.
    bool ReapFinished(bool all);

    const ReferenceTree &m_reference;
    RepairServerOptions m_options;
    LogSink m_log;
    MemoryBudget m_budget;
    SegmentStore m_store;
    // Refusals come in floods: one line a second at most tells of those of each kind.
    struct RefusalLines
    {
        std::chrono::steady_clock::time_point last;
        size_t unlogged = 0;
    };
    RefusalLines m_refusalLines[static_cast<size_t>(Refusal::Count)];
    std::unique_ptr<TCPSocket> m_listener;
    bool m_holdsManager = false;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_accepted{0};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::list<std::unique_ptr<Connection>> m_connections;
};

// "a.b.c.d:port".
std::string FormatEndpoint(const IPv4Endpoint &endpoint);
