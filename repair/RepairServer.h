// The publisher's end of the repair connection: the reference summary of a tree of files, the
// choice of the records a client needs to make its installation equal to that tree, and the server
// that answers many clients at once. The patcher's end is the repair client; the wire format is in
// RepairProtocol.h.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <semaphore>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
// sent them, and none has its own deleted.
class ReferenceTree
{
public:
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

private:
    bool Walk(const std::wstring &cachePath, std::vector<ReferenceFile> &files, std::string &error);

    std::wstring m_root;
    std::vector<ReferenceFile> m_files;
    uint64_t m_segmentCount = 0;
    uint64_t m_segmentsRead = 0;
};

// The cache file of a reference tree; both false on any failure (a load then leaves files empty).
bool LoadReferenceCache(const std::wstring &path, const std::wstring &root, std::vector<ReferenceFile> &files);
bool SaveReferenceCache(const std::wstring &path, const std::wstring &root, const std::vector<ReferenceFile> &files);

enum class RepairRecordKind
{
    Segment,   // a segment the client lacks or holds with other bytes
    Cut,       // checksum 0 past the end of a reference file the client has longer
    Deletion,  // checksum 0 at index 0 of a file the reference lacks
    EmptyFile, // a raw record with checksum 1 and no bytes: the client creates or empties the file
};

struct PlannedRecord
{
    std::wstring key;
    RepairRecordKind kind = RepairRecordKind::Segment;
    const ReferenceFile *file = nullptr; // null for a deletion
    uint64_t index = 0;
};

// Compares one client's summary with the reference, entry by entry as it arrives, and chooses the
// records that client needs. What it keeps per client is bounded by the reference's size and by
// the bounds on the files the reference lacks.
class RepairPlanner
{
public:
    // Files of a client that the reference lacks, and the code units of their names: a real
    // installation comes nowhere near; a summary beyond them only costs the server memory.
    static constexpr size_t kMaxExtraFiles = 200000;
    static constexpr size_t kMaxExtraNameUnits = 4 * 1024 * 1024;

    explicit RepairPlanner(const ReferenceTree &reference);

    // One entry of the client's summary. Keys that no scan makes (no canonical index, '/' or a
    // name that leaves the installation) are passed over: echoing them back would only make the
    // client refuse the record. So are the installation's own files. False when the client's extra
    // files outgrow their bounds.
    bool AddClientEntry(const std::wstring &key, uint32_t checksum);
    // The records in key order.
    std::vector<PlannedRecord> Finish() const;

private:
    const ReferenceTree &m_reference;
    std::vector<uint32_t> m_clientChecksums; // by segment position; 0: the client lacks it
    std::vector<uint8_t> m_clientLonger;     // by file: the client has segments past its end
    std::set<std::wstring, FileTreeSummary::KeyOrder> m_extraFiles;
    size_t m_extraUnits = 0;
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
// the connection afterwards, whatever the result.
bool ServeRepairSession(ZelkDataBuffer &connection, const ReferenceTree &reference, SegmentStore &store,
                        RepairSessionReport &report);

struct RepairServerOptions
{
    IPv4Endpoint address{0, 6000};
    // A transfer that moves nothing for this long ends its connection.
    std::chrono::seconds idleLimit{120};
    // Connections served at once; more wait in the listening queue.
    size_t maxClients = 256;
    // Memory for segments prepared for one client and kept for the next.
    size_t storeBudget = 64 * 1024 * 1024;
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

private:
    struct Connection;

    void Serve(Connection &connection);
    void Watch();
    void ReapFinished(bool all);

    const ReferenceTree &m_reference;
    RepairServerOptions m_options;
    LogSink m_log;
    SegmentStore m_store;
    std::unique_ptr<TCPSocket> m_listener;
    bool m_holdsManager = false;
    std::atomic<bool> m_stopping{false};
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::list<std::unique_ptr<Connection>> m_connections;
};

// "a.b.c.d:port".
std::string FormatEndpoint(const IPv4Endpoint &endpoint);
