// Repair from a directory that any web server or CDN serves (the layout is in RepairManifest.h):
// the manifest says what every file of the reference holds, segment by segment; every segment of
// the installation is compared with it by its SHA-256 (taken once and kept beside the summary);
// for a segment that differs, the digests of its 64 KiB blocks are fetched, and then only the
// blocks that differ, with range requests over a few kept-alive connections at once. Every block
// is checked against its digest and every segment against its own before the segment is written,
// through the same writer as a repair server's records, in the order a repair server would send
// them. The manifest also checks a repair server's records when a publisher key asks for it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "kernel/ConfinedDirectory.h"
#include "kernel/ZelkTypes.h"
#include "patch/InternetTransfer.h"
#include "patch/PublisherKey.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairManifest.h"
#include "repair/RepairRefusal.h"
#include "repair/SegmentDigestCache.h"

class HttpRangeSession;

// Asks a cancel flag, for transfers.
class CancelFlagCallback : public ZelkTransferCallback
{
public:
    explicit CancelFlagCallback(const std::atomic<bool> &cancel) : m_cancel(cancel) {}
    bool ShouldStop() override { return m_cancel.load(); }

private:
    const std::atomic<bool> &m_cancel;
};

// Fetches BASE/repair-manifest and reads it. With a key, BASE/repair-manifest.sig must carry the
// key's signature over its exact bytes and its serial may not be older than the newest accepted
// (which it then becomes); nothing of a manifest is read before its signature is good. The result
// is ZELKRESULT_OK, a transfer's failure, ZELKRESULT_BAD_FORMAT for a damaged manifest or
// ZELKRESULT_ACCESS for one the key refuses; refusal says which.
// With kept (or none), the manifest accepted last is asked for by the version its server named and
// used when the server says it is unchanged; kept becomes the manifest accepted now.
ZELKRESULT FetchRepairManifest(const std::string &base, const PublisherKey *key, ZelkTransferCallback *callback,
                               KeptRepairManifest *kept, RepairManifest &manifest, RepairRefusal &refusal);

class HttpRepairSource
{
public:
    // Transfers at once (each a connection of its own), and the segments fetched ahead of the one
    // being written (each up to 4 MiB in memory).
    static constexpr size_t kTransfers = 4;
    static constexpr size_t kSegmentsAhead = 8;

    // Every file of the installation is read and written beneath root.
    HttpRepairSource(const std::string &base, const ConfinedDirectory &root, FileTreeSummary &summary,
                     const RepairManifest &manifest, SegmentDigestCache &digests, const std::atomic<bool> &cancel);
    ~HttpRepairSource();
    HttpRepairSource(const HttpRepairSource &) = delete;
    HttpRepairSource &operator=(const HttpRepairSource &) = delete;

    // Compares every segment the summary holds with the manifest (reading only segments whose
    // digest is not kept for their checksum) and plans the changes: segments to fetch, files to
    // cut, to delete and to make empty. The changes come in the order of their keys.
    ZELKRESULT Plan();
    size_t GetPlannedCount() const { return m_changes.size(); }

    // Makes the planned changes in order, calling written after each. Stops at the first that
    // fails: refusal and subject (a file's name or an address) say why when it was refused.
    ZELKRESULT Download(const std::function<void()> &written, RepairRefusal &refusal, std::wstring &subject);

    // What the transfers received, for the log.
    uint64_t GetBytesReceived() const { return m_bytesReceived; }
    uint64_t GetRequestCount() const { return m_requests; }

private:
    enum class ChangeKind
    {
        Segment, // fetch the segment's differing blocks and write it
        Cut,     // the file ends before this segment
        Delete,  // the manifest has no such file
        Empty,   // the manifest's file is empty
    };
    struct Change
    {
        ChangeKind kind = ChangeKind::Segment;
        std::wstring key;
        const RepairManifest::File *file = nullptr;
        uint64_t index = 0;
        // The installation holds bytes of the segment, some of whose blocks may be right.
        bool held = false;
    };
    struct Fetched;

    ZELKRESULT FetchSegment(HttpRangeSession &session, const Change &change, Fetched &fetched);
    bool WriteChange(const Change &change, Fetched &fetched, RepairRefusal &refusal);
    // The name beneath the root of a key's path.
    static std::wstring NameOf(const std::wstring &keyPath);

    std::string m_base;
    const ConfinedDirectory &m_root;
    FileTreeSummary &m_summary;
    const RepairManifest &m_manifest;
    SegmentDigestCache &m_digests;
    const std::atomic<bool> &m_cancel;
    std::vector<Change> m_changes;
    std::atomic<uint64_t> m_bytesReceived{0};
    std::atomic<uint64_t> m_requests{0};
};
