#include "repair/RepairServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>

#include "kernel/DirectoryListing.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/CPSocketManager.h"
#include "net/ZelkDataBufferTCP.h"
#include "net/ZelkUtil.h"
#include "repair/RepairProtocol.h"
#include "repair/SegmentChecksum.h"

namespace
{
constexpr wchar_t kKeySeparator = L'\\';
// Files are checksummed through a buffer of this size, which stays in the processor's cache.
constexpr uint32_t kChecksumPieceSize = 256 * 1024;
// "zrc1": a reference cache of this program's first layout.
constexpr uint32_t kReferenceCacheMagic = 0x3163727Au;
constexpr size_t kCacheWriteBlock = 64 * 1024;
// Writes go out in pieces of this size, so that a slow client that still reads counts as alive.
constexpr uint32_t kSendPieceSize = 256 * 1024;
// The bytes after a summary entry's name: checksum and modification time.
constexpr uint32_t kSummaryEntryTrailSize = 12;
constexpr int kListenBacklog = 128;

uint32_t ParseUint32(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) | (uint32_t(bytes[1]) << 8) | (uint32_t(bytes[2]) << 16) | (uint32_t(bytes[3]) << 24);
}

uint64_t ParseUint64(const uint8_t *bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

void AppendUint32(std::string &bytes, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>(value >> shift));
}

void AppendUint64(std::string &bytes, uint64_t value)
{
    for (int shift = 0; shift < 64; shift += 8)
        bytes.push_back(static_cast<char>(value >> shift));
}

bool NameBefore(const ReferenceFile &file, const std::wstring &name)
{
    return FileTreeSummary::KeyOrder()(file.name, name);
}

bool IsRegularFile(const std::wstring &path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(PathToNative(path), error);
}

bool ChecksumFile(const std::wstring &path, ReferenceFile &file, std::vector<uint8_t> &piece)
{
    ZelkDataBufferFile data(path, ZelkDataBufferFile::AccessRead);
    if (!data.IsOpen())
        return false;
    file.checksums.clear();
    uint64_t remaining = file.size;
    while (remaining > 0)
    {
        uint64_t segment = std::min<uint64_t>(remaining, kSegmentSize);
        remaining -= segment;
        uint32_t crc = 0;
        while (segment > 0)
        {
            const uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(segment, piece.size()));
            if (data.Read(piece.data(), size) != ZELKRESULT_OK)
                return false;
            crc = UpdateSegmentCrc(crc, piece.data(), size);
            segment -= size;
        }
        file.checksums.push_back(FinishSegmentChecksum(crc));
    }
    return true;
}

// Reads exactly count bytes of a cache whose size is known, refusing counts beyond what is left.
bool ReadCacheBytes(ZelkDataBufferFile &cache, void *bytes, uint64_t count)
{
    if (count > cache.GetSize() - std::min(cache.GetPosition(), cache.GetSize()))
        return false;
    return count == 0 || cache.Read(bytes, static_cast<uint32_t>(count)) == ZELKRESULT_OK;
}

bool ReadCacheUint32(ZelkDataBufferFile &cache, uint32_t &value)
{
    uint8_t bytes[4];
    if (!ReadCacheBytes(cache, bytes, sizeof bytes))
        return false;
    value = ParseUint32(bytes);
    return true;
}

bool ReadCacheName(ZelkDataBufferFile &cache, std::wstring &name)
{
    uint32_t length = 0;
    if (!ReadCacheUint32(cache, length) || length > kMaxUntrustedNameUnits)
        return false;
    std::string bytes(size_t(length) * 2, '\0');
    if (!ReadCacheBytes(cache, bytes.data(), bytes.size()))
        return false;
    name = DecodeUtf16LE(bytes.data(), length);
    return true;
}

void AppendName(std::string &bytes, const std::wstring &name)
{
    const std::string encoded = EncodeUtf16LE(name);
    AppendUint32(bytes, static_cast<uint32_t>(encoded.size() / 2));
    bytes += encoded;
}

std::string FormatSeconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

std::string UtcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}
} // namespace

std::string FormatEndpoint(const IPv4Endpoint &endpoint)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", endpoint.address >> 24, (endpoint.address >> 16) & 0xFF,
                  (endpoint.address >> 8) & 0xFF, endpoint.address & 0xFF, endpoint.port);
    return text;
}

// The reference tree -----------------------------------------------------------------------------

bool ReferenceTree::Build(const std::wstring &root, const std::wstring &cachePath, std::string &error)
{
    m_root = root;
    m_files.clear();
    m_segmentCount = 0;
    m_segmentsRead = 0;
    if (!IsDirectory(root))
    {
        error = PathToNative(root) + " is no directory";
        return false;
    }
    std::vector<ReferenceFile> files;
    if (!Walk(cachePath, files, error))
        return false;

    std::vector<ReferenceFile> cached;
    if (!cachePath.empty())
        LoadReferenceCache(cachePath, root, cached);
    std::vector<uint8_t> piece(kChecksumPieceSize);
    size_t reused = 0;
    for (ReferenceFile &file : files)
    {
        const auto known = std::lower_bound(cached.begin(), cached.end(), file.name, NameBefore);
        if (known != cached.end() && known->name == file.name && known->size == file.size &&
            known->modifiedTime == file.modifiedTime)
        {
            file.checksums = std::move(known->checksums);
            ++reused;
            continue;
        }
        if (!ChecksumFile(DiskPath(file), file, piece))
        {
            error = "cannot read " + PathToNative(DiskPath(file));
            return false;
        }
        m_segmentsRead += file.checksums.size();
    }
    for (ReferenceFile &file : files)
    {
        file.firstSegment = m_segmentCount;
        m_segmentCount += file.checksums.size();
    }
    m_files = std::move(files);

    const bool cacheCurrent = reused == m_files.size() && cached.size() == m_files.size();
    if (!cachePath.empty() && !cacheCurrent && !SaveReferenceCache(cachePath, root, m_files))
    {
        error = "cannot write the cache " + PathToNative(cachePath);
        return false;
    }
    return true;
}

bool ReferenceTree::Walk(const std::wstring &cachePath, std::vector<ReferenceFile> &files, std::string &error)
{
    struct Directory
    {
        std::wstring path;
        std::wstring relative; // with its trailing '\'; empty for the root
    };
    std::deque<Directory> directories{{m_root, std::wstring()}};
    std::vector<DirectoryEntry> entries;
    while (!directories.empty())
    {
        const Directory directory = std::move(directories.front());
        directories.pop_front();
        if (ListDirectoryEntries(directory.path, entries) != ZELKRESULT_OK)
        {
            error = "cannot list " + PathToNative(directory.path);
            return false;
        }
        for (const DirectoryEntry &entry : entries)
        {
            const std::wstring path = JoinPath(directory.path, entry.name);
            const std::wstring relative = directory.relative + entry.name;
            if (!entry.known)
            {
                error = "cannot look at " + PathToNative(path);
                return false;
            }
            if (entry.isDirectory)
            {
                // As the client's scan does: a linked directory may lead out of the tree or round it.
                if (!entry.isLink)
                    directories.push_back({path, relative + kKeySeparator});
                continue;
            }
            // Devices and pipes are no files a client could hold; reading one would never end.
            if (path == cachePath || IsInstallationOwn(relative) || !IsRegularFile(path))
                continue;
            ReferenceFile file;
            file.name = relative;
            file.size = entry.size;
            file.modifiedTime = entry.modifiedTime;
            files.push_back(std::move(file));
        }
    }
    std::sort(files.begin(), files.end(), [](const ReferenceFile &left, const ReferenceFile &right) {
        return FileTreeSummary::KeyOrder()(left.name, right.name);
    });
    return true;
}

const ReferenceFile *ReferenceTree::FindFile(const std::wstring &name) const
{
    const auto it = std::lower_bound(m_files.begin(), m_files.end(), name, NameBefore);
    return it != m_files.end() && it->name == name ? &*it : nullptr;
}

std::wstring ReferenceTree::DiskPath(const ReferenceFile &file) const
{
    std::wstring relative = file.name;
    NormalizeSeparators(relative, kPathSeparator);
    return JoinPath(m_root, relative);
}

// The cache: magic, the root, the file count, then per file its name, size, time and checksums.
bool LoadReferenceCache(const std::wstring &path, const std::wstring &root, std::vector<ReferenceFile> &files)
{
    files.clear();
    ZelkDataBufferFile cache(path, ZelkDataBufferFile::AccessRead);
    uint32_t magic = 0;
    std::wstring cachedRoot;
    uint32_t count = 0;
    if (!cache.IsOpen() || !ReadCacheUint32(cache, magic) || magic != kReferenceCacheMagic ||
        !ReadCacheName(cache, cachedRoot) || cachedRoot != root || !ReadCacheUint32(cache, count) ||
        count > kMaxSummaryEntries)
        return false;
    std::wstring previous;
    for (uint32_t i = 0; i < count; ++i)
    {
        ReferenceFile file;
        uint8_t fields[16];
        if (!ReadCacheName(cache, file.name) || !ReadCacheBytes(cache, fields, sizeof fields))
            break;
        file.size = ParseUint64(fields);
        file.modifiedTime = static_cast<int64_t>(ParseUint64(fields + 8));
        const uint64_t segments = SegmentCount(file.size);
        // The checksums must be there before they are given room; the order must be the one saved.
        if (segments * 4 > cache.GetSize() - cache.GetPosition() ||
            (i > 0 && !FileTreeSummary::KeyOrder()(previous, file.name)))
            break;
        std::vector<uint8_t> bytes(segments * 4);
        if (!ReadCacheBytes(cache, bytes.data(), bytes.size()))
            break;
        for (uint64_t s = 0; s < segments; ++s)
            file.checksums.push_back(ParseUint32(bytes.data() + 4 * s));
        previous = file.name;
        files.push_back(std::move(file));
    }
    if (files.size() == count)
        return true;
    files.clear();
    return false;
}

bool SaveReferenceCache(const std::wstring &path, const std::wstring &root, const std::vector<ReferenceFile> &files)
{
    ReplacementFile cache(path);
    if (!cache.IsOpen())
        return false;
    std::string block;
    AppendUint32(block, kReferenceCacheMagic);
    AppendName(block, root);
    AppendUint32(block, static_cast<uint32_t>(files.size()));
    for (const ReferenceFile &file : files)
    {
        AppendName(block, file.name);
        AppendUint64(block, file.size);
        AppendUint64(block, static_cast<uint64_t>(file.modifiedTime));
        for (const uint32_t checksum : file.checksums)
            AppendUint32(block, checksum);
        if (block.size() >= kCacheWriteBlock)
        {
            if (!cache.Write(block))
                return false;
            block.clear();
        }
    }
    return cache.Write(block) && cache.Commit();
}

// Choosing the records -----------------------------------------------------------------------------

RepairPlanner::RepairPlanner(const ReferenceTree &reference)
    : m_reference(reference), m_clientChecksums(reference.GetSegmentCount(), 0),
      m_clientLonger(reference.GetFiles().size(), 0)
{
}

bool RepairPlanner::AddClientEntry(const std::wstring &key, uint32_t checksum)
{
    if (!IsSafeSegmentKey(key) || key.find(L'/') != std::wstring::npos)
        return true;
    const std::wstring path = SegmentKeyPath(key);
    const int64_t index = SegmentKeyIndex(key);
    if (MakeSegmentKey(path, index) != key || IsInstallationOwn(path))
        return true;
    const ReferenceFile *file = m_reference.FindFile(path);
    if (file == nullptr)
    {
        if (m_extraFiles.contains(path))
            return true;
        if (m_extraFiles.size() >= kMaxExtraFiles || m_extraUnits + path.size() > kMaxExtraNameUnits)
            return false;
        m_extraUnits += path.size();
        m_extraFiles.insert(path);
        return true;
    }
    const uint64_t segment = static_cast<uint64_t>(index);
    if (segment >= file->checksums.size())
        m_clientLonger[file - m_reference.GetFiles().data()] = 1;
    else
        m_clientChecksums[file->firstSegment + segment] = checksum;
    return true;
}

std::vector<PlannedRecord> RepairPlanner::Finish() const
{
    std::vector<PlannedRecord> records;
    const std::vector<ReferenceFile> &files = m_reference.GetFiles();
    for (size_t f = 0; f < files.size(); ++f)
    {
        const ReferenceFile &file = files[f];
        const uint64_t count = file.checksums.size();
        if (count == 0)
        {
            records.push_back({MakeSegmentKey(file.name, 0), RepairRecordKind::EmptyFile, &file, 0});
            continue;
        }
        const bool longer = m_clientLonger[f] != 0;
        const bool shortLast = file.size % kSegmentSize != 0;
        for (uint64_t i = 0; i < count; ++i)
        {
            // A client whose file goes on past a short last segment holds that segment at full
            // length: its checksum cannot be trusted to tell (all zero bytes give 1 at any length),
            // and only the short segment's record cuts the file where it must end.
            const bool cutsHere = i + 1 == count && shortLast && longer;
            if (cutsHere || m_clientChecksums[file.firstSegment + i] != file.checksums[i])
                records.push_back({MakeSegmentKey(file.name, static_cast<int64_t>(i)), RepairRecordKind::Segment,
                                   &file, i});
        }
        if (longer && !shortLast)
            records.push_back({MakeSegmentKey(file.name, static_cast<int64_t>(count)), RepairRecordKind::Cut, &file,
                               count});
    }
    for (const std::wstring &path : m_extraFiles)
        records.push_back({MakeSegmentKey(path, 0), RepairRecordKind::Deletion, nullptr, 0});
    std::sort(records.begin(), records.end(), [](const PlannedRecord &left, const PlannedRecord &right) {
        return FileTreeSummary::KeyOrder()(left.key, right.key);
    });
    return records;
}

ZELKRESULT ReadClientSummary(ZelkDataBuffer &source, RepairPlanner &planner, uint32_t &entries, std::string &problem)
{
    entries = 0;
    uint32_t magic = 0;
    uint32_t count = 0;
    if (const ZELKRESULT result = ReadRepairUint32(source, magic))
        return result;
    if (magic != SummaryMagic)
    {
        problem = "summary without its magic";
        return ZELKRESULT_BAD_FORMAT;
    }
    if (const ZELKRESULT result = ReadRepairUint32(source, count))
        return result;
    if (count > kMaxSummaryEntries)
    {
        problem = "summary of " + std::to_string(count) + " entries";
        return ZELKRESULT_BAD_FORMAT;
    }
    std::string name;
    uint8_t trail[kSummaryEntryTrailSize];
    for (uint32_t i = 0; i < count; ++i)
    {
        uint32_t length = 0;
        if (const ZELKRESULT result = ReadRepairUint32(source, length))
            return result;
        if (length > kMaxSummaryNameLength)
        {
            problem = "summary name of " + std::to_string(length) + " units";
            return ZELKRESULT_BAD_FORMAT;
        }
        name.resize(size_t(length) * 2);
        if (length != 0)
        {
            if (const ZELKRESULT result = source.Read(name.data(), length * 2))
                return result;
        }
        if (const ZELKRESULT result = source.Read(trail, sizeof trail))
            return result;
        entries = i + 1;
        if (!planner.AddClientEntry(DecodeUtf16LE(name.data(), length), ParseUint32(trail)))
        {
            problem = "summary with more files unknown to the reference than any installation has";
            return ZELKRESULT_BAD_FORMAT;
        }
    }
    return ZELKRESULT_OK;
}

// Prepared segments -----------------------------------------------------------------------------------

SegmentStore::SegmentStore(const ReferenceTree &reference, size_t budgetBytes)
    : m_reference(reference), m_budget(budgetBytes),
      m_compressors(std::clamp<ptrdiff_t>(std::thread::hardware_concurrency(), 1, 64))
{
}

std::shared_ptr<const PreparedSegment> SegmentStore::Get(const ReferenceFile &file, uint64_t index)
{
    const uint64_t position = file.firstSegment + index;
    std::promise<Result> promise;
    std::shared_future<Result> ready;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto it = m_slots.find(position);
        if (it != m_slots.end())
        {
            m_ages.splice(m_ages.end(), m_ages, it->second.age);
            ready = it->second.ready;
        }
        else
        {
            Slot slot;
            slot.ready = promise.get_future().share();
            slot.age = m_ages.insert(m_ages.end(), position);
            m_slots.emplace(position, std::move(slot));
        }
    }
    // Another client prepares it, or has done so.
    if (ready.valid())
        return ready.get();
    const Result result = Prepare(file, index);
    promise.set_value(result);
    Settle(position, result);
    return result;
}

SegmentStore::Result SegmentStore::Prepare(const ReferenceFile &file, uint64_t index)
{
    const uint64_t start = index * kSegmentSize;
    if (start >= file.size)
        return nullptr;
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kSegmentSize, file.size - start));
    auto segment = std::make_shared<PreparedSegment>();
    std::vector<uint8_t> raw(length);
    {
        ZelkDataBufferFile data(m_reference.DiskPath(file), ZelkDataBufferFile::AccessRead);
        if (!data.IsOpen() || data.Seek(start) != ZELKRESULT_OK || data.Read(raw.data(), length) != ZELKRESULT_OK)
            return nullptr;
    }
    segment->checksum = SegmentChecksum(raw.data(), raw.size());
    ZelkDataBufferMemoryStatic source(raw.data(), length, false);
    ZelkDataBufferMemoryDynamic block;
    m_compressors.acquire();
    const ZELKRESULT compressed = ZelkUtil::CompressData(block, source);
    m_compressors.release();
    if (compressed == ZELKRESULT_OK && block.GetSize() < length)
    {
        segment->compressed = true;
        segment->payload.assign(block.GetData(), block.GetData() + block.GetSize());
    }
    else
        segment->payload = std::move(raw);
    return segment;
}

void SegmentStore::Settle(uint64_t position, const Result &result)
{
    std::lock_guard<std::mutex> lock(m_lock);
    const auto it = m_slots.find(position);
    // A segment that failed is tried again by the next client that needs it.
    if (!result)
    {
        m_ages.erase(it->second.age);
        m_slots.erase(it);
        return;
    }
    it->second.bytes = result->payload.size();
    m_bytes += it->second.bytes;
    // The oldest finished segments go first; one still being prepared is not counted yet.
    for (auto age = m_ages.begin(); m_bytes > m_budget && age != m_ages.end();)
    {
        const auto slot = m_slots.find(*age);
        if (slot->second.bytes == 0)
        {
            ++age;
            continue;
        }
        m_bytes -= slot->second.bytes;
        m_slots.erase(slot);
        age = m_ages.erase(age);
    }
}

// One client ---------------------------------------------------------------------------------------

std::string RepairSessionReport::Describe() const
{
    const uint32_t records = rawSegments + compressedSegments + cuts + deletions + emptyFiles;
    return peer + " entries " + std::to_string(entries) + " records " + std::to_string(records) + " (raw " +
           std::to_string(rawSegments) + ", compressed " + std::to_string(compressedSegments) + ", cut " +
           std::to_string(cuts) + ", deleted " + std::to_string(deletions) + ", empty " + std::to_string(emptyFiles) +
           ") bytes " + std::to_string(bytesSent) + " time " + FormatSeconds(seconds) + " s: " + outcome;
}

namespace
{
ZELKRESULT SendRecord(ZelkDataBuffer &connection, const RepairRecordHeader &header, const std::vector<uint8_t> *payload,
                      RepairSessionReport &report)
{
    const std::string bytes = EncodeRepairRecordHeader(header);
    if (const ZELKRESULT result = connection.Write(bytes.data(), static_cast<uint32_t>(bytes.size())))
        return result;
    report.bytesSent += bytes.size();
    if (payload == nullptr || payload->empty())
        return ZELKRESULT_OK;
    if (const ZELKRESULT result = connection.Write(payload->data(), static_cast<uint32_t>(payload->size())))
        return result;
    report.bytesSent += payload->size();
    return ZELKRESULT_OK;
}

std::string DescribeResult(const char *what, ZELKRESULT result)
{
    return std::string(what) + " (error " + std::to_string(result) + ")";
}
} // namespace

bool ServeRepairSession(ZelkDataBuffer &connection, const ReferenceTree &reference, SegmentStore &store,
                        RepairSessionReport &report)
{
    const auto started = std::chrono::steady_clock::now();
    const auto finish = [&](std::string outcome) {
        report.outcome = std::move(outcome);
        report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return report.outcome == "done";
    };

    uint32_t version = 0;
    if (const ZELKRESULT result = ReadRepairUint32(connection, version))
        return finish(DescribeResult("no version", result));
    // The answer is always this program's version; a client of another one ends there.
    if (const ZELKRESULT result = WriteRepairUint32(connection, kRepairProtocolVersion))
        return finish(DescribeResult("lost before the version", result));
    report.bytesSent += 4;
    if (version != kRepairProtocolVersion)
        return finish("client version " + std::to_string(version));

    RepairPlanner planner(reference);
    std::string problem;
    if (const ZELKRESULT result = ReadClientSummary(connection, planner, report.entries, problem))
        return finish(problem.empty() ? DescribeResult("summary cut short", result) : problem);
    const std::vector<PlannedRecord> records = planner.Finish();
    if (const ZELKRESULT result = WriteRepairUint32(connection, static_cast<uint32_t>(records.size())))
        return finish(DescribeResult("lost before the count", result));
    report.bytesSent += 4;

    for (const PlannedRecord &record : records)
    {
        RepairRecordHeader header;
        header.name = record.key;
        std::shared_ptr<const PreparedSegment> segment;
        switch (record.kind)
        {
        case RepairRecordKind::Segment:
            segment = store.Get(*record.file, record.index);
            if (!segment)
                return finish("cannot read " + WideToNarrow(record.key) + " of the reference");
            header.compressed = segment->compressed;
            header.checksum = segment->checksum;
            header.payloadLength = static_cast<uint32_t>(segment->payload.size());
            ++(segment->compressed ? report.compressedSegments : report.rawSegments);
            break;
        case RepairRecordKind::EmptyFile:
            header.checksum = FinishSegmentChecksum(0);
            ++report.emptyFiles;
            break;
        case RepairRecordKind::Cut:
            ++report.cuts;
            break;
        case RepairRecordKind::Deletion:
            ++report.deletions;
            break;
        }
        if (const ZELKRESULT result = SendRecord(connection, header, segment ? &segment->payload : nullptr, report))
            return finish(DescribeResult("lost while sending records", result));
    }
    return finish("done");
}

// The server ----------------------------------------------------------------------------------------

// A client's connection as its session sees it: each transfer is timed for the watchdog, and large
// writes go out in pieces so that a slow reader shows that it still reads.
struct RepairServer::Connection : public ZelkDataBuffer
{
    std::unique_ptr<ZelkDataBufferTCP> socket;
    std::thread thread;
    std::atomic<bool> finished{false};
    // Milliseconds of the steady clock when the waiting transfer began; 0 while none waits.
    std::atomic<int64_t> waitingSince{0};

    static int64_t Now()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
                   .count() +
               1;
    }

    uint64_t GetSize() override { return 0; }
    ZELKRESULT SetSize(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    uint64_t GetPosition() override { return socket->GetPosition(); }
    ZELKRESULT Seek(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }

    // The client's summary arrives as many small fields: each is taken from what one read of the
    // socket brought, so that the session does not wait on the socket's thread once per field.
    ZELKRESULT Read(void *destination, uint32_t count) override
    {
        auto *bytes = static_cast<uint8_t *>(destination);
        while (count > 0)
        {
            if (m_readFrom == m_readBuffer.size())
            {
                if (const ZELKRESULT result = Receive())
                    return result;
            }
            const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(count, m_readBuffer.size() - m_readFrom));
            memcpy(bytes, m_readBuffer.data() + m_readFrom, piece);
            m_readFrom += piece;
            bytes += piece;
            count -= piece;
        }
        return ZELKRESULT_OK;
    }

    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        const auto *bytes = static_cast<const uint8_t *>(source);
        while (count > 0)
        {
            const uint32_t piece = std::min(count, kSendPieceSize);
            waitingSince = Now();
            const ZELKRESULT result = socket->Write(bytes, piece);
            waitingSince = 0;
            if (result != ZELKRESULT_OK)
                return result;
            bytes += piece;
            count -= piece;
        }
        return ZELKRESULT_OK;
    }

private:
    // Fills the empty read buffer with whatever has arrived: at least one byte, at most a buffer's
    // worth.
    ZELKRESULT Receive()
    {
        m_readBuffer.resize(kReadAheadSize);
        m_readFrom = 0;
        const uint32_t before = socket->received;
        socket->partialReadAllowed = true;
        waitingSince = Now();
        const ZELKRESULT result = socket->Read(m_readBuffer.data(), static_cast<uint32_t>(m_readBuffer.size()));
        waitingSince = 0;
        m_readBuffer.resize(socket->received - before);
        return result == ZELKRESULT_PARTIAL ? ZELKRESULT_OK : result;
    }

    static constexpr uint32_t kReadAheadSize = 64 * 1024;
    std::vector<uint8_t> m_readBuffer;
    size_t m_readFrom = 0;
};

RepairServer::RepairServer(const ReferenceTree &reference, const RepairServerOptions &options, LogSink log)
    : m_reference(reference), m_options(options), m_log(std::move(log)), m_store(reference, options.storeBudget)
{
}

RepairServer::~RepairServer()
{
    Stop();
    ReapFinished(true);
    m_listener.reset();
    if (m_holdsManager)
        ReleaseSocketManager();
}

ZELKRESULT RepairServer::Listen()
{
    if (!m_holdsManager)
    {
        AcquireSocketManager(1);
        m_holdsManager = true;
    }
    m_listener = std::make_unique<TCPSocket>();
    return StartListening(*m_listener, m_options.address, kListenBacklog);
}

IPv4Endpoint RepairServer::GetAddress() const
{
    return m_listener ? m_listener->GetLocalAddress() : kUnsetEndpoint;
}

void RepairServer::Run()
{
    std::thread watchdog(&RepairServer::Watch, this);
    while (!m_stopping)
    {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [&] { return m_stopping || m_connections.size() < m_options.maxClients; });
        }
        ReapFinished(false);
        if (m_stopping)
            break;
        ZELKRESULT result = ZELKRESULT_OK;
        std::unique_ptr<ZelkDataBufferTCP> socket = AcceptConnection(*m_listener, result);
        if (!socket)
        {
            if (!m_stopping)
            {
                m_log("accept failed (error " + std::to_string(result) + ")");
                // Out of descriptors, say: give the open connections time to end.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        auto connection = std::make_unique<Connection>();
        connection->socket = std::move(socket);
        Connection &started = *connection;
        m_connections.push_back(std::move(connection));
        started.thread = std::thread(&RepairServer::Serve, this, std::ref(started));
        // A stop that came while the connection was accepted would not have seen it.
        if (m_stopping)
            started.socket->Disconnect(true);
    }
    ReapFinished(true);
    m_changed.notify_all();
    watchdog.join();
}

void RepairServer::Stop()
{
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_stopping.exchange(true))
        return;
    if (m_listener)
        m_listener->Close();
    for (const std::unique_ptr<Connection> &connection : m_connections)
        connection->socket->Disconnect(true);
    m_changed.notify_all();
}

void RepairServer::Serve(Connection &connection)
{
    RepairSessionReport report;
    report.peer = FormatEndpoint(connection.socket->GetRemoteAddress());
    const bool done = ServeRepairSession(connection, m_reference, m_store, report);
    if (done)
    {
        // A hard close could throw away the last record before it left; the client closes once it
        // has read everything, which ends this read.
        connection.socket->Disconnect(false);
        uint8_t rest = 0;
        connection.Read(&rest, 1);
    }
    connection.socket->Disconnect(true);
    m_log(UtcNow() + " " + report.Describe());
    std::lock_guard<std::mutex> lock(m_lock);
    connection.finished = true;
    m_changed.notify_all();
}

void RepairServer::Watch()
{
    const int64_t limit = std::chrono::duration_cast<std::chrono::milliseconds>(m_options.idleLimit).count();
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping || !m_connections.empty())
    {
        m_changed.wait_for(lock, std::chrono::seconds(1));
        const int64_t now = Connection::Now();
        for (const std::unique_ptr<Connection> &connection : m_connections)
        {
            const int64_t since = connection->waitingSince;
            if (since != 0 && now - since > limit)
                connection->socket->Disconnect(true);
        }
    }
}

void RepairServer::ReapFinished(bool all)
{
    std::list<std::unique_ptr<Connection>> ended;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (all)
            m_changed.wait(lock, [&] {
                return std::all_of(m_connections.begin(), m_connections.end(),
                                   [](const std::unique_ptr<Connection> &c) { return c->finished.load(); });
            });
        for (auto it = m_connections.begin(); it != m_connections.end();)
        {
            if ((*it)->finished)
            {
                ended.push_back(std::move(*it));
                it = m_connections.erase(it);
            }
            else
                ++it;
        }
    }
    for (const std::unique_ptr<Connection> &connection : ended)
        connection->thread.join();
    m_changed.notify_all();
}
