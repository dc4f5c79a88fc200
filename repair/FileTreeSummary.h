// The client's side of the repair comparison: a checksum of every 4 MiB segment of every file of
// an installation, with the modification time of its file, so that a later run reads again only
// the files whose time changed. The same bytes make the summary file "repair.cks" and what the
// client sends to the repair server.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kernel/OSThread.h"
#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"

class ConfinedDirectory;

constexpr uint64_t kSegmentSize = 4194304;
// The bytes "0stf" read as a little-endian 32-bit value.
constexpr uint32_t SummaryMagic = 0x66747330u;
// Bounds of what a summary may claim, checked before anything is allocated: a name longer than any
// path can be, or more entries than any installation has, is damage, not data.
constexpr uint32_t kMaxSummaryNameLength = 32768;
constexpr uint32_t kMaxSummaryEntries = 50000000;
// The largest index whose segment still starts at a 64-bit signed file offset.
constexpr int64_t kMaxSegmentIndex = INT64_MAX / static_cast<int64_t>(kSegmentSize);

class FileTreeSummary
{
public:
    struct Entry
    {
        std::wstring name;         // the table key: relative path with '\' separators, '#', index
        uint32_t checksum = 0;     // 0: the segment could not be read
        int64_t modifiedTime = 0;  // of the whole file, seconds since 1970-01-01 UTC; INT64_MIN when
                                   // it was taken within its own second, which may see more changes
        bool seen = false;         // registered during the current scan; never stored
    };

    // Keys are ordered by their UTF-16 code units (shorter first on a common prefix), the order of
    // the summary format, which differs from wide-character order above U+FFFF.
    struct KeyOrder
    {
        bool operator()(const std::wstring &left, const std::wstring &right) const;
    };
    using Table = std::map<std::wstring, Entry, KeyOrder>;

    FileTreeSummary() = default;
    // Nobody may hold the lock any more when the table goes.
    ~FileTreeSummary() noexcept;
    FileTreeSummary(const FileTreeSummary &) = delete;
    FileTreeSummary &operator=(const FileTreeSummary &) = delete;

    // Every operation holds the table's lock for its whole duration, the checksum reads included;
    // the lock is recursive, so operations may call each other.
    void Clear();
    // Replaces the content. ZELKRESULT_BAD_FORMAT for a wrong magic (the table stays empty) and for
    // a count or name length beyond the bounds above; otherwise the first failed read's code, with
    // the entries read before it kept. Never allocates ahead of the data that actually arrived.
    ZELKRESULT Load(ZelkDataBuffer &source);
    // Writes the summary format at the destination's position; the first failed write's code.
    ZELKRESULT Save(ZelkDataBuffer &destination);
    // Brings the table up to date with the files below root, breadth first; files whose relative
    // path matches one of the exclusion patterns are left out. Files whose modification time is
    // unchanged are not read. Entries of files no longer found are erased. Always ZELKRESULT_OK.
    ZELKRESULT Scan(const std::wstring &root, const std::set<std::wstring> &exclusions);
    // The same below a directory held open. Nothing is read through a link that leads outside it:
    // such a file is left out as one that cannot be read, and a linked directory is never walked.
    ZELKRESULT Scan(const ConfinedDirectory &root, const std::set<std::wstring> &exclusions);
    // Registers every segment of one file; false when its size or time cannot be had.
    bool RegisterFile(const std::wstring &diskPath, const std::wstring &relativeName);
    // checksum 0 asks for the segment to be read and checksummed unless its entry is current; a
    // non-zero checksum (a segment just written) is taken as it is, and the other segments of the
    // file keep their checksums under the file's new time.
    bool RegisterSegment(const std::wstring &diskKey, const std::wstring &tableKey, uint32_t checksum);
    // The same for the file the table key names beneath root.
    bool RegisterSegment(const ConfinedDirectory &root, const std::wstring &tableKey, uint32_t checksum);
    void RemoveSegment(const std::wstring &tableKey);
    // Erases the segments after the key's index, up to the first one missing.
    void RemoveSegmentsAfter(const std::wstring &tableKey);
    void UpdateFileTime(const std::wstring &relativePath, int64_t modifiedTime);

    // Copies taken under the lock, in key order.
    std::vector<Entry> GetEntries();
    size_t GetEntryCount();
    bool FindEntry(const std::wstring &tableKey, Entry &entry);

private:
    // A segment a scan found new or changed, whose checksum is still to be computed.
    struct ChangedSegment
    {
        std::wstring tableKey;
        int64_t modifiedTime = 0;
        uint32_t checksum = 0;
    };

    // The segments of a file whose size and time are already known, as a directory listing gives
    // them: unchanged ones are marked seen, the others are added to changed.
    void RegisterFileAs(const std::wstring &relativeName, uint64_t size, int64_t modifiedTime,
                        std::vector<ChangedSegment> &changed);
    // RegisterFile for a file below root whose listing could not tell its size and time.
    bool RegisterFileIn(const ConfinedDirectory &root, const std::wstring &relativeName);
    // computeChecksum is asked only when the entry needs a checksum read from the file.
    void StoreSegment(const std::wstring &tableKey, uint32_t checksum, int64_t modifiedTime,
                      const std::function<uint32_t()> &computeChecksum);
    static void ComputeChecksums(const ConfinedDirectory &root, std::vector<ChangedSegment> &segments);

    OS::Mutex m_mutex;
    Table m_entries;
    std::wstring m_key; // the key being looked up during a scan, kept to reuse its memory
};

// Segments of a file of the given size: the last one may be shorter; an empty file has none.
uint64_t SegmentCount(uint64_t fileSize);
// path, '#', index in decimal with at least three digits: "a.bin#007", "a.bin#1234".
std::wstring MakeSegmentKey(const std::wstring &path, int64_t index);
// The text before the first '#' (the whole key without one).
std::wstring SegmentKeyPath(const std::wstring &key);
// The decimal digits after the first '#' of the key's last component: 0 without a '#' or with any
// other character after it, -1 when the index is beyond kMaxSegmentIndex.
int64_t SegmentKeyIndex(const std::wstring &key);

// Reads the segment that a key (relative path, '#', index) names of a file beneath root into bytes,
// at most capacity of them; length is the count read (0 for the empty segment at a file's end).
bool ReadFileSegment(const ConfinedDirectory &root, const std::wstring &key, uint8_t *bytes, uint32_t capacity,
                     uint32_t &length);
// The segment's checksum (never 0), or 0 when it cannot be read.
uint32_t ComputeSegmentChecksum(const std::wstring &diskKey);
// The same for a key (relative path, '#', index) of a file beneath root.
uint32_t ComputeSegmentChecksum(const ConfinedDirectory &root, const std::wstring &key);

// True when the whole text matches the whole pattern; '*' matches any run of code units, nothing
// else is special, and case counts.
bool MatchWildcard(const std::wstring &pattern, const std::wstring &text);
// True when the path of the key matches one of the patterns.
bool IsExcluded(const std::wstring &name, const std::set<std::wstring> &patterns);

// The summary file. Loading fails with ZELKRESULT_IO when the file cannot be opened (the table is
// then left as it was); saving replaces the file whole, so a crash leaves either the old or the new
// summary.
ZELKRESULT LoadSummaryFile(FileTreeSummary &summary, const std::wstring &path);
ZELKRESULT SaveSummaryFile(FileTreeSummary &summary, const std::wstring &path);
// The summary file named beneath an installation held open.
ZELKRESULT LoadSummaryFile(FileTreeSummary &summary, const ConfinedDirectory &root, const std::wstring &name);
ZELKRESULT SaveSummaryFile(FileTreeSummary &summary, const ConfinedDirectory &root, const std::wstring &name);
