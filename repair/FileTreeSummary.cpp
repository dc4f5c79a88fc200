#include "repair/FileTreeSummary.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <deque>
#include <new>

#include "kernel/ByteOrder.h"
#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/WorkerThreads.h"
#include "kernel/ZelkSystemLog.h"
#include "repair/SegmentChecksum.h"

namespace
{
constexpr wchar_t kIndexMark = L'#';
constexpr wchar_t kKeySeparator = L'\\';
// The summary goes out in blocks of this size: every write to a connection is one trip through the
// completion port, so one write per field would cost more than the data.
constexpr size_t kSaveBlockSize = 64 * 1024;
// Threads that compute a scan's checksums at most, and the changed segments that make one worth
// starting.
constexpr size_t kMaxScanThreads = 8;
constexpr size_t kSegmentsPerScanThread = 4;
// Names are read in pieces no larger than this, so a claimed length costs memory only as its bytes
// actually arrive.
constexpr uint32_t kLoadPieceSize = 4096;

// The first UTF-16 code unit that encodes a character.
uint32_t FirstUtf16Unit(uint32_t c)
{
    if (c < 0x10000)
        return c;
    if (c > 0x10FFFF)
        return 0xFFFD;
    return 0xD800 + ((c - 0x10000) >> 10);
}

// '#' and the index with at least three digits.
void AppendSegmentIndex(std::wstring &key, int64_t index)
{
    wchar_t digits[24];
    size_t count = 0;
    uint64_t value = static_cast<uint64_t>(std::max<int64_t>(index, 0));
    do
    {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0 || count < 3);
    key += kIndexMark;
    while (count > 0)
        key += digits[--count];
}

// Appends count bytes to text in pieces, growing it only by what arrived.
ZELKRESULT ReadPieces(ZelkDataBuffer &source, uint32_t count, std::string &text)
{
    char piece[kLoadPieceSize];
    while (count > 0)
    {
        const uint32_t size = std::min(count, kLoadPieceSize);
        if (const ZELKRESULT result = source.Read(piece, size))
            return result;
        text.append(piece, size);
        count -= size;
    }
    return ZELKRESULT_OK;
}

} // namespace

// Keys and segments ------------------------------------------------------------------------------

bool FileTreeSummary::KeyOrder::operator()(const std::wstring &left, const std::wstring &right) const
{
    const size_t common = std::min(left.size(), right.size());
    const auto differ = std::mismatch(left.begin(), left.begin() + common, right.begin());
    if (differ.first == left.begin() + common)
        return left.size() < right.size();
    // Up to here both are the same code units; the first differing characters decide by their
    // first UTF-16 unit, and by the trail unit (the same order as the code point) when they share
    // a lead surrogate.
    const uint32_t a = static_cast<uint32_t>(*differ.first);
    const uint32_t b = static_cast<uint32_t>(*differ.second);
    const uint32_t unitA = FirstUtf16Unit(a);
    const uint32_t unitB = FirstUtf16Unit(b);
    return unitA != unitB ? unitA < unitB : a < b;
}

uint64_t SegmentCount(uint64_t fileSize)
{
    return fileSize / kSegmentSize + (fileSize % kSegmentSize != 0 ? 1 : 0);
}

std::wstring MakeSegmentKey(const std::wstring &path, int64_t index)
{
    std::wstring key;
    key.reserve(path.size() + 8);
    key += path;
    AppendSegmentIndex(key, index);
    return key;
}

// The index is the last '#' and what follows, so a path that itself holds a '#' (a directory
// "Korvil #2", a file "notes#1.txt") still names its file; keys without one read as they always did.
std::wstring SegmentKeyPath(const std::wstring &key)
{
    const size_t mark = key.rfind(kIndexMark);
    return mark == std::wstring::npos ? key : key.substr(0, mark);
}

int64_t SegmentKeyIndex(const std::wstring &key)
{
    const size_t componentStart = key.find_last_of(L"\\/");
    const size_t mark = key.rfind(kIndexMark);
    if (mark == std::wstring::npos || (componentStart != std::wstring::npos && mark < componentStart))
        return 0;
    int64_t index = 0;
    for (size_t i = mark + 1; i < key.size(); ++i)
    {
        if (key[i] < L'0' || key[i] > L'9')
            return 0;
        index = index * 10 + (key[i] - L'0');
        if (index > kMaxSegmentIndex)
            return -1;
    }
    return index;
}

namespace
{
// A file's time stands for its content only once its second has passed: a change made later in
// the same second leaves the time as it was. A time whose second has not passed is kept as one no
// file has, so that the next scan reads the file again instead of trusting it.
constexpr int64_t kUnsettledTime = INT64_MIN;

int64_t Settled(int64_t modifiedTime)
{
    return modifiedTime < static_cast<int64_t>(std::time(nullptr)) ? modifiedTime : kUnsettledTime;
}

// Opens the file of a disk key and seeks to its segment; the segment's length comes back. Each
// failure is logged with the disk key.
bool OpenSegment(const std::wstring &diskKey, ZelkDataBufferFile &file, uint32_t &length)
{
    const int64_t index = SegmentKeyIndex(diskKey);
    if (!file.IsOpen())
    {
        ZelkSystemLog("ReadFileSegment> unabled to open file: %s", WideToNarrow(diskKey).c_str());
        return false;
    }
    const uint64_t start = static_cast<uint64_t>(index) * kSegmentSize;
    const uint64_t end = std::min(start + kSegmentSize, file.GetSize());
    if (index < 0 || end < start)
    {
        ZelkSystemLog("ReadFileSegment> segment past end of file for: %s", WideToNarrow(diskKey).c_str());
        return false;
    }
    if (file.Seek(start) != ZELKRESULT_OK)
    {
        ZelkSystemLog("ReadFileSegment> unabled to seek file: %s", WideToNarrow(diskKey).c_str());
        return false;
    }
    length = static_cast<uint32_t>(end - start);
    return true;
}

// The checksum is taken in pieces that stay in the processor's cache and in one buffer that is
// reused, instead of a fresh 4 MiB block per segment: that is what keeps a first scan as fast as
// the disk cache can deliver.
constexpr uint32_t kChecksumPieceSize = 256 * 1024;

// The checksum of the segment of the opened file that diskKey names.
uint32_t ChecksumSegment(ZelkDataBufferFile &file, const std::wstring &diskKey)
{
    ZelkSystemLog(" Checksum %s ..", WideToNarrow(diskKey).c_str());
    uint32_t remaining = 0;
    if (!OpenSegment(diskKey, file, remaining))
        return 0;
    std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kChecksumPieceSize]);
    uint32_t crc = 0;
    while (remaining > 0)
    {
        const uint32_t size = std::min(remaining, kChecksumPieceSize);
        if (!piece || file.Read(piece.get(), size) != ZELKRESULT_OK)
        {
            ZelkSystemLog("ReadFileSegment> unabled to read from file: %s", WideToNarrow(diskKey).c_str());
            return 0;
        }
        crc = UpdateSegmentCrc(crc, piece.get(), size);
        remaining -= size;
    }
    return FinishSegmentChecksum(crc);
}
} // namespace

bool ReadFileSegment(const ConfinedDirectory &root, const std::wstring &key, uint8_t *bytes, uint32_t capacity,
                     uint32_t &length)
{
    length = 0;
    const std::wstring name = SegmentKeyPath(key);
    ZelkDataBufferFile file(root, name, ZelkDataBufferFile::AccessRead);
    // The disk key of the messages: the file's path with the key's own index.
    const std::wstring diskKey = root.PathOf(name) + key.substr(name.size());
    uint32_t size = 0;
    if (!OpenSegment(diskKey, file, size))
        return false;
    size = std::min(size, capacity);
    if (file.Read(bytes, size) != ZELKRESULT_OK)
    {
        ZelkSystemLog("ReadFileSegment> unabled to read from file: %s", WideToNarrow(diskKey).c_str());
        return false;
    }
    length = size;
    return true;
}

uint32_t ComputeSegmentChecksum(const std::wstring &diskKey)
{
    ZelkDataBufferFile file(SegmentKeyPath(diskKey), ZelkDataBufferFile::AccessRead);
    return ChecksumSegment(file, diskKey);
}

uint32_t ComputeSegmentChecksum(const ConfinedDirectory &root, const std::wstring &key)
{
    const std::wstring name = SegmentKeyPath(key);
    ZelkDataBufferFile file(root, name, ZelkDataBufferFile::AccessRead);
    // The disk key of the messages: the file's path with the key's own index.
    return ChecksumSegment(file, root.PathOf(name) + key.substr(name.size()));
}

bool MatchWildcard(const std::wstring &pattern, const std::wstring &text)
{
    size_t p = 0;
    size_t t = 0;
    size_t star = std::wstring::npos;
    size_t resume = 0;
    while (t < text.size())
    {
        if (p < pattern.size() && pattern[p] == L'*')
        {
            star = p++;
            resume = t;
        }
        else if (p < pattern.size() && pattern[p] == text[t])
        {
            ++p;
            ++t;
        }
        else if (star != std::wstring::npos)
        {
            // The last asterisk takes one more code unit and the rest of the pattern tries again.
            p = star + 1;
            t = ++resume;
        }
        else
            return false;
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

bool IsExcluded(const std::wstring &name, const std::set<std::wstring> &patterns)
{
    const std::wstring path = SegmentKeyPath(name);
    for (const std::wstring &pattern : patterns)
        if (MatchWildcard(pattern, path))
            return true;
    return false;
}

// The table ------------------------------------------------------------------------------------------

FileTreeSummary::~FileTreeSummary() noexcept = default;

void FileTreeSummary::Clear()
{
    OS::MutexLock lock(m_mutex);
    m_entries.clear();
}

ZELKRESULT FileTreeSummary::Load(ZelkDataBuffer &source)
{
    OS::MutexLock lock(m_mutex);
    m_entries.clear();
    uint32_t magic = 0;
    if (const ZELKRESULT result = LittleEndian::Read32(source, magic))
        return result;
    if (magic != SummaryMagic)
        return ZELKRESULT_BAD_FORMAT;
    uint32_t count = 0;
    if (const ZELKRESULT result = LittleEndian::Read32(source, count))
        return result;
    if (count > kMaxSummaryEntries)
        return ZELKRESULT_BAD_FORMAT;
    std::string bytes;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint32_t nameLength = 0;
        if (const ZELKRESULT result = LittleEndian::Read32(source, nameLength))
            return result;
        if (nameLength > kMaxSummaryNameLength)
            return ZELKRESULT_BAD_FORMAT;
        bytes.clear();
        if (const ZELKRESULT result = ReadPieces(source, nameLength * 2 + 12, bytes))
            return result;
        const auto *fields = reinterpret_cast<const unsigned char *>(bytes.data()) + nameLength * 2;
        Entry entry;
        entry.name = DecodeUtf16LE(bytes.data(), nameLength);
        entry.checksum = LittleEndian::Read32(fields);
        entry.modifiedTime = static_cast<int64_t>(LittleEndian::Read64(fields + 4));
        // A saved summary is in key order, so each entry goes at the end without a search.
        const std::wstring key = entry.name;
        m_entries.insert_or_assign(m_entries.end(), key, std::move(entry));
    }
    return ZELKRESULT_OK;
}

ZELKRESULT FileTreeSummary::Save(ZelkDataBuffer &destination)
{
    OS::MutexLock lock(m_mutex);
    std::string block;
    block.reserve(kSaveBlockSize + 2 * kMaxSummaryNameLength + 16);
    LittleEndian::Append32(block, SummaryMagic);
    LittleEndian::Append32(block, static_cast<uint32_t>(m_entries.size()));
    for (const auto &[key, entry] : m_entries)
    {
        const std::string name = EncodeUtf16LE(entry.name);
        LittleEndian::Append32(block, static_cast<uint32_t>(name.size() / 2));
        block += name;
        LittleEndian::Append32(block, entry.checksum);
        LittleEndian::Append64(block, static_cast<uint64_t>(entry.modifiedTime));
        if (block.size() < kSaveBlockSize)
            continue;
        if (const ZELKRESULT result = destination.Write(block.data(), static_cast<uint32_t>(block.size())))
            return result;
        block.clear();
    }
    return destination.Write(block.data(), static_cast<uint32_t>(block.size()));
}

void FileTreeSummary::ComputeChecksums(const ConfinedDirectory &root, std::vector<ChangedSegment> &segments)
{
    // Reading from the page cache and checksumming both take processor time: a first scan of a
    // large installation ends sooner with a thread per processor. Each segment is read by one
    // thread; the table is filled afterwards, in the walk's order.
    ForEachOnThreads(segments.size(), kMaxScanThreads, kSegmentsPerScanThread, [&](size_t i) {
        segments[i].checksum = ComputeSegmentChecksum(root, segments[i].tableKey);
    });
}

ZELKRESULT FileTreeSummary::Scan(const std::wstring &root, const std::set<std::wstring> &exclusions)
{
    return Scan(ConfinedDirectory(root), exclusions);
}

ZELKRESULT FileTreeSummary::Scan(const ConfinedDirectory &root, const std::set<std::wstring> &exclusions)
{
    OS::MutexLock lock(m_mutex);
    for (auto &[key, entry] : m_entries)
        entry.seen = false;
    // Patterns are relative paths; table keys separate with '\' whatever the caller wrote.
    std::vector<std::wstring> patterns;
    for (std::wstring pattern : exclusions)
    {
        NormalizeSeparators(pattern, kKeySeparator);
        patterns.push_back(pattern);
    }

    // Each directory by its relative path with a trailing '\' (empty for the root), which is also
    // the start of its files' keys.
    std::deque<std::wstring> directories{std::wstring()};
    std::vector<DirectoryEntry> entries;
    std::wstring relative; // reused: most files are unchanged and cost no allocation at all
    std::vector<ChangedSegment> changed;
    while (!directories.empty())
    {
        const std::wstring directory = std::move(directories.front());
        directories.pop_front();
        if (root.ListDirectory(directory, entries) != ZELKRESULT_OK)
            continue;
        for (const DirectoryEntry &entry : entries)
        {
            relative.assign(directory).append(entry.name);
            if (entry.isDirectory)
            {
                // A linked directory may lead back up the tree: the walk would not end, or would
                // summarise files twice.
                if (!entry.isLink)
                    directories.push_back(relative + kKeySeparator);
                continue;
            }
            if (std::any_of(patterns.begin(), patterns.end(),
                            [&](const std::wstring &pattern) { return MatchWildcard(pattern, relative); }))
                continue;
            // What the listing saw of the file stands for the separate size and time queries.
            if (entry.known)
                RegisterFileAs(relative, entry.size, entry.modifiedTime, changed);
            else
                RegisterFileIn(root, relative);
        }
    }

    ComputeChecksums(root, changed);
    for (ChangedSegment &segment : changed)
    {
        Entry entry;
        entry.name = segment.tableKey;
        entry.checksum = segment.checksum;
        entry.modifiedTime = Settled(segment.modifiedTime);
        entry.seen = true;
        m_entries.insert_or_assign(std::move(segment.tableKey), std::move(entry));
    }

    for (auto it = m_entries.begin(); it != m_entries.end();)
        it = it->second.seen ? std::next(it) : m_entries.erase(it);
    return ZELKRESULT_OK;
}

bool FileTreeSummary::RegisterFile(const std::wstring &diskPath, const std::wstring &relativeName)
{
    OS::MutexLock lock(m_mutex);
    uint64_t size = 0;
    if (GetFileSizeAt(diskPath, size) != ZELKRESULT_OK)
    {
        ZelkSystemLog("FileTreeSummary::RegisterFile> unable to get filesize for %s", WideToNarrow(diskPath).c_str());
        return false;
    }
    const uint64_t count = SegmentCount(size);
    for (uint64_t i = 0; i < count; ++i)
    {
        const int64_t index = static_cast<int64_t>(i);
        if (!RegisterSegment(MakeSegmentKey(diskPath, index), MakeSegmentKey(relativeName, index), 0))
            return false;
    }
    return true;
}

bool FileTreeSummary::RegisterFileIn(const ConfinedDirectory &root, const std::wstring &relativeName)
{
    uint64_t size = 0;
    if (root.GetFileSize(relativeName, size) != ZELKRESULT_OK)
    {
        ZelkSystemLog("FileTreeSummary::RegisterFile> unable to get filesize for %s",
                      WideToNarrow(root.PathOf(relativeName)).c_str());
        return false;
    }
    const uint64_t count = SegmentCount(size);
    for (uint64_t i = 0; i < count; ++i)
    {
        if (!RegisterSegment(root, MakeSegmentKey(relativeName, static_cast<int64_t>(i)), 0))
            return false;
    }
    return true;
}

void FileTreeSummary::RegisterFileAs(const std::wstring &relativeName, uint64_t size, int64_t modifiedTime,
                                     std::vector<ChangedSegment> &changed)
{
    const uint64_t count = SegmentCount(size);
    for (uint64_t i = 0; i < count; ++i)
    {
        const int64_t index = static_cast<int64_t>(i);
        m_key.assign(relativeName);
        AppendSegmentIndex(m_key, index);
        auto it = m_entries.find(m_key);
        if (it != m_entries.end() && it->second.modifiedTime == modifiedTime)
            it->second.seen = true;
        else
            changed.push_back({m_key, modifiedTime, 0});
    }
}

bool FileTreeSummary::RegisterSegment(const std::wstring &diskKey, const std::wstring &tableKey, uint32_t checksum)
{
    OS::MutexLock lock(m_mutex);
    int64_t modifiedTime = 0;
    if (GetFileModifiedTime(SegmentKeyPath(diskKey), modifiedTime) != ZELKRESULT_OK)
        return false;
    StoreSegment(tableKey, checksum, modifiedTime, [&diskKey] { return ComputeSegmentChecksum(diskKey); });
    return true;
}

bool FileTreeSummary::RegisterSegment(const ConfinedDirectory &root, const std::wstring &tableKey, uint32_t checksum)
{
    OS::MutexLock lock(m_mutex);
    int64_t modifiedTime = 0;
    if (root.GetModifiedTime(SegmentKeyPath(tableKey), modifiedTime) != ZELKRESULT_OK)
        return false;
    StoreSegment(tableKey, checksum, modifiedTime, [&] { return ComputeSegmentChecksum(root, tableKey); });
    return true;
}

void FileTreeSummary::StoreSegment(const std::wstring &tableKey, uint32_t checksum, int64_t modifiedTime,
                                   const std::function<uint32_t()> &computeChecksum)
{
    auto it = m_entries.find(tableKey);
    if (it != m_entries.end() && it->second.modifiedTime == modifiedTime && checksum == 0)
        it->second.seen = true;
    else
    {
        Entry entry;
        entry.name = tableKey;
        entry.checksum = checksum != 0 ? checksum : computeChecksum();
        entry.modifiedTime = Settled(modifiedTime);
        entry.seen = true;
        m_entries.insert_or_assign(tableKey, std::move(entry));
    }
    // Writing one segment moved the file's time; its other segments are still what they were.
    if (checksum != 0)
        UpdateFileTime(SegmentKeyPath(tableKey), modifiedTime);
}

void FileTreeSummary::RemoveSegment(const std::wstring &tableKey)
{
    OS::MutexLock lock(m_mutex);
    m_entries.erase(tableKey);
}

void FileTreeSummary::RemoveSegmentsAfter(const std::wstring &tableKey)
{
    OS::MutexLock lock(m_mutex);
    const std::wstring path = SegmentKeyPath(tableKey);
    const int64_t index = SegmentKeyIndex(tableKey);
    if (index < 0)
        return;
    for (int64_t next = index + 1; next <= kMaxSegmentIndex; ++next)
        if (m_entries.erase(MakeSegmentKey(path, next)) == 0)
            break;
}

void FileTreeSummary::UpdateFileTime(const std::wstring &relativePath, int64_t modifiedTime)
{
    OS::MutexLock lock(m_mutex);
    for (int64_t index = 0; index <= kMaxSegmentIndex; ++index)
    {
        auto it = m_entries.find(MakeSegmentKey(relativePath, index));
        if (it == m_entries.end())
            break;
        it->second.modifiedTime = Settled(modifiedTime);
    }
}

std::vector<FileTreeSummary::Entry> FileTreeSummary::GetEntries()
{
    OS::MutexLock lock(m_mutex);
    std::vector<Entry> entries;
    entries.reserve(m_entries.size());
    for (const auto &[key, entry] : m_entries)
        entries.push_back(entry);
    return entries;
}

size_t FileTreeSummary::GetEntryCount()
{
    OS::MutexLock lock(m_mutex);
    return m_entries.size();
}

bool FileTreeSummary::FindEntry(const std::wstring &tableKey, Entry &entry)
{
    OS::MutexLock lock(m_mutex);
    const auto it = m_entries.find(tableKey);
    if (it == m_entries.end())
        return false;
    entry = it->second;
    return true;
}

// The summary file -----------------------------------------------------------------------------------

ZELKRESULT LoadSummaryFile(FileTreeSummary &summary, const std::wstring &path)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessRead);
    if (!file.IsOpen())
        return ZELKRESULT_IO;
    return summary.Load(file);
}

ZELKRESULT LoadSummaryFile(FileTreeSummary &summary, const ConfinedDirectory &root, const std::wstring &name)
{
    ZelkDataBufferFile file(root, name, ZelkDataBufferFile::AccessRead);
    if (!file.IsOpen())
        return ZELKRESULT_IO;
    return summary.Load(file);
}

namespace
{
// The new summary file as a byte stream for Save.
class ReplacementStream : public ZelkDataBuffer
{
public:
    explicit ReplacementStream(ReplacementFile &file) : m_file(file) {}

    uint64_t GetSize() override { return m_written; }
    ZELKRESULT SetSize(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    uint64_t GetPosition() override { return m_written; }
    ZELKRESULT Seek(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    ZELKRESULT Read(void *, uint32_t) override { return ZELKRESULT_ACCESS; }
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        if (!m_file.Write(source, count))
            return ZELKRESULT_IO;
        m_written += count;
        return ZELKRESULT_OK;
    }

private:
    ReplacementFile &m_file;
    uint64_t m_written = 0;
};

ZELKRESULT SaveInto(FileTreeSummary &summary, ReplacementFile &file)
{
    if (!file.IsOpen())
        return ZELKRESULT_IO;
    ReplacementStream stream(file);
    if (const ZELKRESULT result = summary.Save(stream))
        return result;
    return file.Commit() ? ZELKRESULT_OK : ZELKRESULT_IO;
}
} // namespace

ZELKRESULT SaveSummaryFile(FileTreeSummary &summary, const std::wstring &path)
{
    ReplacementFile file(path);
    return SaveInto(summary, file);
}

ZELKRESULT SaveSummaryFile(FileTreeSummary &summary, const ConfinedDirectory &root, const std::wstring &name)
{
    ReplacementFile file(root, name);
    return SaveInto(summary, file);
}
