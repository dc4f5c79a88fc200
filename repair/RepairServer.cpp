#include "repair/RepairServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>

#include "kernel/ByteOrder.h"
#include "kernel/DirectoryListing.h"
#include "kernel/FileUtil.h"
#include "kernel/ProcessMemory.h"
#include "kernel/TextConvert.h"
#include "kernel/WorkerThreads.h"
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
// "zrc2": a reference cache of this program's second layout, which records the files left out for
// their links (a cache of the first layout is only read again in full).
constexpr uint32_t kReferenceCacheMagic = 0x3263727Au;
constexpr size_t kCacheWriteBlock = 64 * 1024;
// Writes go out in pieces of this size, so that a slow client that still reads counts as alive.
constexpr uint32_t kSendPieceSize = 256 * 1024;
// The bytes after a summary entry's name: checksum and modification time.
constexpr uint32_t kSummaryEntryTrailSize = 12;
constexpr int kListenBacklog = 128;
// How a connection ends that the server's memory limit cannot hold.
constexpr const char *kOverMemoryLimit = "over the server's memory limit";

bool NameBefore(const ReferenceFile &file, const std::wstring &name)
{
    return FileTreeSummary::KeyOrder()(file.name, name);
}

// A segment key as the UTF-16 units it is ordered by (those of the summary format, in which a
// character above U+FFFF is two units): the path's, then '#' and the index's digits, at least three.
class KeyUnits
{
public:
    KeyUnits(std::string_view pathUnits, uint64_t index) : m_path(pathUnits)
    {
        char digits[24];
        size_t count = 0;
        do
        {
            digits[count++] = static_cast<char>('0' + index % 10);
            index /= 10;
        } while (index != 0 || count < 3);
        m_tail[m_tailLength++] = u'#';
        while (count > 0)
            m_tail[m_tailLength++] = static_cast<char16_t>(digits[--count]);
    }

    std::string_view Path() const { return m_path; }
    size_t Size() const { return m_path.size() / 2 + m_tailLength; }
    uint16_t At(size_t unit) const
    {
        const size_t pathUnits = m_path.size() / 2;
        if (unit >= pathUnits)
            return m_tail[unit - pathUnits];
        return LittleEndian::Read16(m_path.data() + 2 * unit);
    }

private:
    std::string_view m_path;
    char16_t m_tail[24] = {};
    size_t m_tailLength = 0;
};

// The order of FileTreeSummary::KeyOrder, without making either key.
bool KeyBefore(const KeyUnits &left, const KeyUnits &right)
{
    // Equal bytes of the two paths are equal units: only the units from the first difference on
    // need looking at.
    const std::string_view a = left.Path();
    const std::string_view b = right.Path();
    const size_t common = std::min(a.size(), b.size());
    const size_t same = static_cast<size_t>(std::mismatch(a.begin(), a.begin() + common, b.begin()).first - a.begin());
    const size_t end = std::min(left.Size(), right.Size());
    for (size_t unit = same / 2; unit < end; ++unit)
    {
        const uint16_t x = left.At(unit);
        const uint16_t y = right.At(unit);
        if (x != y)
            return x < y;
    }
    return left.Size() < right.Size();
}

bool IsRegularFile(const std::wstring &path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(PathToNative(path), error);
}

bool ChecksumFile(ZelkDataBufferFile *opened, ReferenceFile &file, std::vector<uint8_t> &piece)
{
    if (opened == nullptr)
        return false;
    ZelkDataBufferFile &data = *opened;
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
    value = LittleEndian::Read32(bytes);
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
    LittleEndian::Append32(bytes, static_cast<uint32_t>(encoded.size() / 2));
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
    m_linksLeadingOut.clear();
    m_segmentCount = 0;
    m_segmentsRead = 0;
    m_directory = std::make_unique<ConfinedDirectory>(root);
    if (!IsDirectory(root) || !m_directory->IsOpen())
    {
        error = PathToNative(root) + " is no directory";
        return false;
    }
    std::vector<ReferenceFile> files;
    if (!Walk(cachePath, files, error))
        return false;

    std::vector<ReferenceFile> cached;
    std::vector<std::wstring> cachedLinks;
    if (!cachePath.empty())
        LoadReferenceCache(cachePath, root, cached, cachedLinks);
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
        if (!ChecksumFile(OpenFile(file).get(), file, piece))
        {
            error = "cannot read " + PathToNative(DiskPath(file));
            return false;
        }
        m_segmentsRead += file.checksums.size();
    }
    for (ReferenceFile &file : files)
    {
        // A key slot counts a file's segments in 32 bits: 16 PiB, far beyond any file a client has.
        if (file.checksums.size() >= UINT32_MAX)
        {
            error = PathToNative(DiskPath(file)) + " is too large to be served";
            return false;
        }
        file.firstSegment = m_segmentCount;
        m_segmentCount += file.checksums.size();
    }
    m_files = std::move(files);
    OrderKeys();

    const bool cacheCurrent =
        reused == m_files.size() && cached.size() == m_files.size() && cachedLinks == m_linksLeadingOut;
    if (!cachePath.empty() && !cacheCurrent && !SaveReferenceCache(cachePath, root, m_files, m_linksLeadingOut))
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
        const std::wstring name =
            directory.relative.substr(0, directory.relative.size() - (directory.relative.empty() ? 0 : 1));
        if (m_directory->ListDirectory(name, entries) != ZELKRESULT_OK)
        {
            error = "cannot list " + PathToNative(directory.path);
            return false;
        }
        for (const DirectoryEntry &entry : entries)
        {
            const std::wstring path = JoinPath(directory.path, entry.name);
            const std::wstring relative = directory.relative + entry.name;
            // A link that leads out of the tree (or nowhere) is not looked through: what it leads
            // to may be anything the server's account can read.
            if (entry.isLink && !entry.known)
            {
                m_linksLeadingOut.push_back(relative);
                continue;
            }
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
    std::sort(m_linksLeadingOut.begin(), m_linksLeadingOut.end(), FileTreeSummary::KeyOrder());
    return true;
}

void ReferenceTree::OrderKeys()
{
    m_nameUnits.clear();
    m_nameStarts.clear();
    m_keyOrder.clear();
    for (const ReferenceFile &file : m_files)
    {
        m_nameStarts.push_back(static_cast<uint32_t>(m_nameUnits.size()));
        m_nameUnits += EncodeUtf16LE(file.name);
    }
    m_nameStarts.push_back(static_cast<uint32_t>(m_nameUnits.size()));
    m_keyOrder.reserve(m_segmentCount + m_files.size());
    for (size_t f = 0; f < m_files.size(); ++f)
    {
        for (size_t i = 0; i <= m_files[f].checksums.size(); ++i)
            m_keyOrder.push_back({static_cast<uint32_t>(f), static_cast<uint32_t>(i)});
    }
    std::sort(m_keyOrder.begin(), m_keyOrder.end(), [&](const KeySlot &left, const KeySlot &right) {
        return KeyBefore(KeyUnits(GetNameUnits(left.file), left.index),
                         KeyUnits(GetNameUnits(right.file), right.index));
    });
}

std::string_view ReferenceTree::GetNameUnits(size_t file) const
{
    return std::string_view(m_nameUnits).substr(m_nameStarts[file], m_nameStarts[file + 1] - m_nameStarts[file]);
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

std::unique_ptr<ZelkDataBufferFile> ReferenceTree::OpenFile(const ReferenceFile &file) const
{
    auto data = std::make_unique<ZelkDataBufferFile>(*m_directory, file.name, ZelkDataBufferFile::AccessRead);
    return data->IsOpen() ? std::move(data) : nullptr;
}

// The cache: magic, the root, the file count, then per file its name, size, time and checksums;
// then the count of the files left out for their links and their names.
bool LoadReferenceCache(const std::wstring &path, const std::wstring &root, std::vector<ReferenceFile> &files,
                        std::vector<std::wstring> &linksLeadingOut)
{
    files.clear();
    linksLeadingOut.clear();
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
        file.size = LittleEndian::Read64(fields);
        file.modifiedTime = static_cast<int64_t>(LittleEndian::Read64(fields + 8));
        const uint64_t segments = SegmentCount(file.size);
        // The checksums must be there before they are given room; the order must be the one saved.
        if (segments * 4 > cache.GetSize() - cache.GetPosition() ||
            (i > 0 && !FileTreeSummary::KeyOrder()(previous, file.name)))
            break;
        std::vector<uint8_t> bytes(segments * 4);
        if (!ReadCacheBytes(cache, bytes.data(), bytes.size()))
            break;
        for (uint64_t s = 0; s < segments; ++s)
            file.checksums.push_back(LittleEndian::Read32(bytes.data() + 4 * s));
        previous = file.name;
        files.push_back(std::move(file));
    }
    uint32_t links = 0;
    if (files.size() == count && ReadCacheUint32(cache, links))
    {
        std::wstring name;
        while (linksLeadingOut.size() < links && ReadCacheName(cache, name))
            linksLeadingOut.push_back(name);
        if (linksLeadingOut.size() == links)
            return true;
    }
    files.clear();
    linksLeadingOut.clear();
    return false;
}

bool SaveReferenceCache(const std::wstring &path, const std::wstring &root, const std::vector<ReferenceFile> &files,
                        const std::vector<std::wstring> &linksLeadingOut)
{
    ReplacementFile cache(path);
    if (!cache.IsOpen())
        return false;
    std::string block;
    LittleEndian::Append32(block, kReferenceCacheMagic);
    AppendName(block, root);
    LittleEndian::Append32(block, static_cast<uint32_t>(files.size()));
    for (const ReferenceFile &file : files)
    {
        AppendName(block, file.name);
        LittleEndian::Append64(block, file.size);
        LittleEndian::Append64(block, static_cast<uint64_t>(file.modifiedTime));
        for (const uint32_t checksum : file.checksums)
            LittleEndian::Append32(block, checksum);
        if (block.size() >= kCacheWriteBlock)
        {
            if (!cache.Write(block))
                return false;
            block.clear();
        }
    }
    LittleEndian::Append32(block, static_cast<uint32_t>(linksLeadingOut.size()));
    for (const std::wstring &name : linksLeadingOut)
        AppendName(block, name);
    return cache.Write(block) && cache.Commit();
}

// Choosing the records -----------------------------------------------------------------------------

// The server's memory ------------------------------------------------------------------------------

bool MemoryBudget::TryTake(size_t bytes, size_t keepFree)
{
    size_t used = m_used.load(std::memory_order_relaxed);
    do
    {
        if (used > m_limit || m_limit - used < keepFree || m_limit - used - keepFree < bytes)
            return false;
    } while (!m_used.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
    return true;
}

void MemoryBudget::Take(size_t bytes)
{
    m_used.fetch_add(bytes, std::memory_order_relaxed);
}

void MemoryBudget::Give(size_t bytes)
{
    m_used.fetch_sub(bytes, std::memory_order_relaxed);
}

bool BudgetShare::Grow(size_t bytes, size_t keepFree)
{
    if (m_budget != nullptr && !m_budget->TryTake(bytes, keepFree))
        return false;
    m_bytes += bytes;
    return true;
}

void BudgetShare::Hold(size_t bytes)
{
    if (m_budget != nullptr)
        m_budget->Take(bytes);
    m_bytes += bytes;
}

void BudgetShare::Clear()
{
    if (m_budget != nullptr)
        m_budget->Give(m_bytes);
    m_bytes = 0;
}

// Choosing the records -----------------------------------------------------------------------------

namespace
{
// The room for names of extra files is first taken in this size, then doubled.
constexpr size_t kFirstExtraRoom = 4096;
} // namespace

RepairPlanner::RepairPlanner(const ReferenceTree &reference, MemoryBudget *budget)
    : m_reference(reference), m_budget(budget), m_share(budget)
{
    const size_t segments = reference.GetSegmentCount();
    const size_t files = reference.GetFiles().size();
    if (!m_share.Grow(segments * sizeof(uint32_t) + files))
    {
        m_overBudget = true;
        return;
    }
    m_clientChecksums.assign(segments, 0);
    m_clientLonger.assign(files, 0);
}

bool RepairPlanner::AddClientEntry(const std::wstring &key, uint32_t checksum)
{
    if (m_overBudget)
        return false;
    if (!IsSafeSegmentKey(key) || key.find(L'/') != std::wstring::npos)
        return true;
    const std::wstring path = SegmentKeyPath(key);
    const int64_t index = SegmentKeyIndex(key);
    if (MakeSegmentKey(path, index) != key || IsInstallationOwn(path))
        return true;
    const ReferenceFile *file = m_reference.FindFile(path);
    if (file == nullptr)
    {
        const std::string units = EncodeUtf16LE(path);
        if (!m_extras.empty() && ExtraUnits(m_extras.back()) == units)
            return true;
        if (m_extras.size() >= kMaxExtraFiles || (m_extraUnits.size() + units.size()) / 2 > kMaxExtraNameUnits)
            return false;
        if (!MakeRoomForExtra(units.size()))
        {
            m_overBudget = true;
            return false;
        }
        m_extras.push_back({static_cast<uint32_t>(m_extraUnits.size()), static_cast<uint32_t>(units.size())});
        m_extraUnits += units;
        return true;
    }
    const uint64_t segment = static_cast<uint64_t>(index);
    if (segment >= file->checksums.size())
        m_clientLonger[file - m_reference.GetFiles().data()] = 1;
    else
        m_clientChecksums[file->firstSegment + segment] = checksum;
    return true;
}

// The room grows by doubling, each step taken from the budget before it is allocated, up to the
// bounds and no further.
bool RepairPlanner::MakeRoomForExtra(size_t nameBytes)
{
    size_t unitsRoom = m_extraUnitsRoom;
    size_t extrasRoom = m_extrasRoom;
    if (m_extraUnits.size() + nameBytes > unitsRoom)
        unitsRoom = std::min(std::max({unitsRoom * 2, m_extraUnits.size() + nameBytes, kFirstExtraRoom}),
                             kMaxExtraNameUnits * 2);
    if (m_extras.size() + 1 > extrasRoom)
        extrasRoom = std::min(std::max(extrasRoom * 2, kFirstExtraRoom / sizeof(ExtraName)), kMaxExtraFiles);
    const size_t more = (unitsRoom - m_extraUnitsRoom) + (extrasRoom - m_extrasRoom) * sizeof(ExtraName);
    if (more == 0)
        return true;
    if (!m_share.Grow(more, m_budget == nullptr ? 0 : m_budget->GetLimit() / 8))
        return false;
    m_extraUnits.reserve(unitsRoom);
    m_extras.reserve(extrasRoom);
    m_extraUnitsRoom = unitsRoom;
    m_extrasRoom = extrasRoom;
    return true;
}

std::string_view RepairPlanner::ExtraUnits(const ExtraName &name) const
{
    return std::string_view(m_extraUnits).substr(name.start, name.bytes);
}

void RepairPlanner::Finish()
{
    std::sort(m_extras.begin(), m_extras.end(), [&](const ExtraName &left, const ExtraName &right) {
        return KeyBefore(KeyUnits(ExtraUnits(left), 0), KeyUnits(ExtraUnits(right), 0));
    });
    m_extras.erase(std::unique(m_extras.begin(), m_extras.end(),
                               [&](const ExtraName &left, const ExtraName &right) {
                                   return ExtraUnits(left) == ExtraUnits(right);
                               }),
                   m_extras.end());
    m_recordCount = m_extras.size();
    PlannedRecord record;
    for (const ReferenceTree::KeySlot &slot : m_reference.GetKeyOrder())
        m_recordCount += RecordAt(slot, record) ? 1 : 0;
}

bool RepairPlanner::RecordAt(const ReferenceTree::KeySlot &slot, PlannedRecord &record) const
{
    const ReferenceFile &file = m_reference.GetFiles()[slot.file];
    const uint64_t count = file.checksums.size();
    const bool longer = !m_clientLonger.empty() && m_clientLonger[slot.file] != 0;
    const bool shortLast = file.size % kSegmentSize != 0;
    record.file = &file;
    record.index = slot.index;
    if (count == 0)
        record.kind = RepairRecordKind::EmptyFile;
    else if (slot.index == count)
    {
        if (!longer || shortLast)
            return false;
        record.kind = RepairRecordKind::Cut;
    }
    else
    {
        // A client whose file goes on past a short last segment holds that segment at full
        // length: its checksum cannot be trusted to tell (all zero bytes give 1 at any length),
        // and only the short segment's record cuts the file where it must end.
        const bool cutsHere = slot.index + 1 == count && shortLast && longer;
        const uint32_t held = m_clientChecksums.empty() ? 0 : m_clientChecksums[file.firstSegment + slot.index];
        if (!cutsHere && held == file.checksums[slot.index])
            return false;
        record.kind = RepairRecordKind::Segment;
    }
    return true;
}

bool RepairPlanner::EachRecord(const std::function<bool(const PlannedRecord &record)> &visit) const
{
    const auto deletion = [&](const ExtraName &name) {
        PlannedRecord record;
        record.key = MakeSegmentKey(DecodeUtf16LE(m_extraUnits.data() + name.start, name.bytes / 2), 0);
        record.kind = RepairRecordKind::Deletion;
        return visit(record);
    };
    auto extra = m_extras.begin();
    PlannedRecord record;
    for (const ReferenceTree::KeySlot &slot : m_reference.GetKeyOrder())
    {
        if (!RecordAt(slot, record))
            continue;
        const KeyUnits key(m_reference.GetNameUnits(slot.file), slot.index);
        for (; extra != m_extras.end() && KeyBefore(KeyUnits(ExtraUnits(*extra), 0), key); ++extra)
        {
            if (!deletion(*extra))
                return false;
        }
        record.key = MakeSegmentKey(record.file->name, slot.index);
        if (!visit(record))
            return false;
    }
    for (; extra != m_extras.end(); ++extra)
    {
        if (!deletion(*extra))
            return false;
    }
    return true;
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
        if (!planner.AddClientEntry(DecodeUtf16LE(name.data(), length), LittleEndian::Read32(trail)))
        {
            problem = planner.IsOverBudget()
                          ? kOverMemoryLimit
                          : "summary with more files unknown to the reference than any installation has";
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
    // The segment and its compressed form are both in memory while it is prepared: as many at once
    // as there are compressors, however many clients ask for different segments.
    m_compressors.acquire();
    struct Release
    {
        std::counting_semaphore<64> &compressors;
        ~Release() { compressors.release(); }
    } release{m_compressors};
    auto segment = std::make_shared<PreparedSegment>();
    std::vector<uint8_t> raw(length);
    {
        // Opened beneath the root each time: a link made to lead out since the walk fails here.
        const std::unique_ptr<ZelkDataBufferFile> data = m_reference.OpenFile(file);
        if (!data || data->Seek(start) != ZELKRESULT_OK || data->Read(raw.data(), length) != ZELKRESULT_OK)
            return nullptr;
    }
    segment->checksum = SegmentChecksum(raw.data(), raw.size());
    ZelkDataBufferMemoryStatic source(raw.data(), length, false);
    ZelkDataBufferMemoryDynamic block;
    const ZELKRESULT compressed = ZelkUtil::CompressData(block, source);
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
                        RepairSessionReport &report, MemoryBudget *budget)
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

    RepairPlanner planner(reference, budget);
    if (planner.IsOverBudget())
        return finish(kOverMemoryLimit);
    std::string problem;
    if (const ZELKRESULT result = ReadClientSummary(connection, planner, report.entries, problem))
        return finish(problem.empty() ? DescribeResult("summary cut short", result) : problem);
    planner.Finish();
    if (const ZELKRESULT result = WriteRepairUint32(connection, static_cast<uint32_t>(planner.GetRecordCount())))
        return finish(DescribeResult("lost before the count", result));
    report.bytesSent += 4;

    // A segment on its way counts in the budget: a client that reads slowly holds it that long.
    BudgetShare sending(budget);
    std::string ended = "done";
    planner.EachRecord([&](const PlannedRecord &record) {
        RepairRecordHeader header;
        header.name = record.key;
        std::shared_ptr<const PreparedSegment> segment;
        switch (record.kind)
        {
        case RepairRecordKind::Segment:
            segment = store.Get(*record.file, record.index);
            if (!segment)
            {
                ended = "cannot read " + WideToNarrow(record.key) + " of the reference";
                return false;
            }
            sending.Hold(segment->payload.size());
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
        const ZELKRESULT result = SendRecord(connection, header, segment ? &segment->payload : nullptr, report);
        sending.Clear();
        if (result != ZELKRESULT_OK)
        {
            ended = DescribeResult("lost while sending records", result);
            return false;
        }
        return true;
    });
    return finish(ended);
}

// The server ----------------------------------------------------------------------------------------

namespace
{
// What a connection holds before its summary arrives: the read-ahead buffer and its thread's
// first pages.
constexpr size_t kConnectionCost = 128 * 1024;
// Prepared segments take a quarter of the memory limit at most, and no more than this.
constexpr size_t kMaxStoreBudget = 64 * 1024 * 1024;

size_t StoreBudget(const RepairServerOptions &options)
{
    return std::min(kMaxStoreBudget, options.memoryLimit / 4);
}

int64_t SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string FormatMegabytes(size_t bytes)
{
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MB";
}
} // namespace

// A client's connection as its session sees it: each transfer is timed for the watchdog, and large
// writes go out in pieces so that a slow reader shows that it still reads.
struct RepairServer::Connection : public ZelkDataBuffer
{
    explicit Connection(MemoryBudget &budget) : share(&budget) {}

    std::unique_ptr<ZelkDataBufferTCP> socket;
    uint32_t peerAddress = 0;
    BudgetShare share;
    std::thread thread;
    std::atomic<bool> finished{false};
    // Milliseconds of the steady clock (plus one) when the waiting transfer began; 0 while none waits.
    std::atomic<int64_t> waitingSince{0};
    // Set by the watchdog before it closes a connection for moving too little.
    std::atomic<bool> tooSlow{false};
    // The watchdog's own: the time it has seen the session wait on the client since the window
    // began, and the bytes moved when it began.
    int64_t windowWaited = 0;
    uint64_t windowStartBytes = 0;

    static int64_t Now() { return SteadyMilliseconds() + 1; }

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
    : m_reference(reference), m_options(options), m_log(std::move(log)),
      m_budget(options.memoryLimit - StoreBudget(options)), m_store(reference, StoreBudget(options))
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

// Every connection is accepted at once and either served or closed: a server that left
// connections in the listening queue while it waited for a slot would leave their clients waiting
// without an answer, and one that waited on a busy slot could wait for good.
void RepairServer::Run()
{
    std::thread watchdog(&RepairServer::Watch, this);
    while (!m_stopping)
    {
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
        ++m_accepted;
        ReapFinished(false);
        const IPv4Endpoint peer = socket->GetRemoteAddress();
        auto connection = std::make_unique<Connection>(m_budget);
        Refusal refusal = Admit(peer.address, connection->share);
        if (refusal == Refusal::None)
        {
            connection->socket = std::move(socket);
            connection->peerAddress = peer.address;
            std::lock_guard<std::mutex> lock(m_lock);
            Connection &started = *connection;
            if (StartThread(started.thread, [this, &started] { Serve(started); }))
                m_connections.push_back(std::move(connection));
            else
            {
                refusal = Refusal::NoThread;
                socket = std::move(started.socket);
            }
            // A stop that came while the connection was accepted would not have seen it.
            if (refusal == Refusal::None && m_stopping)
                started.socket->Disconnect(true);
        }
        if (refusal != Refusal::None)
        {
            socket->Disconnect(true);
            Refuse(peer, refusal);
        }
    }
    ReapFinished(true);
    m_changed.notify_all();
    watchdog.join();
}

RepairServer::Refusal RepairServer::Admit(uint32_t address, BudgetShare &share)
{
    std::lock_guard<std::mutex> lock(m_lock);
    size_t open = 0;
    size_t fromAddress = 0;
    for (const std::unique_ptr<Connection> &connection : m_connections)
    {
        if (connection->finished)
            continue;
        ++open;
        fromAddress += connection->peerAddress == address ? 1 : 0;
    }
    if (open >= m_options.maxConnections)
        return Refusal::Busy;
    if (fromAddress >= m_options.maxPerAddress)
        return Refusal::AddressBusy;
    if (!share.Grow(kConnectionCost))
        return Refusal::OverMemoryLimit;
    return Refusal::None;
}

void RepairServer::Refuse(const IPv4Endpoint &peer, Refusal refusal)
{
    RefusalLines &lines = m_refusalLines[static_cast<size_t>(refusal)];
    const auto now = std::chrono::steady_clock::now();
    if (now - lines.last < std::chrono::seconds(1))
    {
        ++lines.unlogged;
        return;
    }
    std::string line = UtcNow() + " " + FormatEndpoint(peer) + " refused: ";
    switch (refusal)
    {
    case Refusal::Busy:
        line += std::to_string(m_options.maxConnections) + " connections open, the most served at once";
        break;
    case Refusal::AddressBusy:
        line += std::to_string(m_options.maxPerAddress) + " connections open from that address, the most it is served";
        break;
    case Refusal::OverMemoryLimit:
        line += "the connections hold " + FormatMegabytes(m_budget.GetUsed()) + " of their " +
                FormatMegabytes(m_budget.GetLimit()) + ", " + kOverMemoryLimit;
        break;
    case Refusal::NoThread:
    case Refusal::None:
    case Refusal::Count:
        line += "no thread could be started to serve it";
        break;
    }
    if (lines.unlogged > 0)
        line += " (and " + std::to_string(lines.unlogged) + " more since the last such line)";
    m_log(line);
    lines.last = now;
    lines.unlogged = 0;
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
    const bool done = ServeRepairSession(connection, m_reference, m_store, report, &m_budget);
    if (done)
    {
        // A hard close could throw away the last record before it left; the client closes once it
        // has read everything, which ends this read.
        connection.socket->Disconnect(false);
        uint8_t rest = 0;
        connection.Read(&rest, 1);
    }
    connection.socket->Disconnect(true);
    if (!done && connection.tooSlow)
        report.outcome =
            "slower than " + std::to_string(m_options.slowFloor) + " bytes a second (" + report.outcome + ")";
    m_log(UtcNow() + " " + report.Describe());
    std::lock_guard<std::mutex> lock(m_lock);
    connection.finished = true;
    m_changed.notify_all();
}

// Once a tick: ends the connections that wait too long or move too little, joins those that
// ended, and gives the memory they held back to the system.
void RepairServer::Watch()
{
    const auto tick = std::clamp<std::chrono::milliseconds>(m_options.slowWindow / 8, std::chrono::milliseconds(10),
                                                            std::chrono::milliseconds(1000));
    int64_t lastLook = Connection::Now();
    bool stopping = false;
    while (!stopping)
    {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait_for(lock, tick, [&] { return m_stopping && m_connections.empty(); });
            const int64_t now = Connection::Now();
            for (const std::unique_ptr<Connection> &connection : m_connections)
                LookAt(*connection, now, now - lastLook);
            lastLook = now;
            stopping = m_stopping && m_connections.empty();
        }
        if (ReapFinished(false))
            ReturnFreeMemory();
    }
}

void RepairServer::LookAt(Connection &connection, int64_t now, int64_t sinceLastLook)
{
    if (connection.finished)
        return;
    const int64_t since = connection.waitingSince;
    if (since == 0)
        return;
    if (now - since > std::chrono::duration_cast<std::chrono::milliseconds>(m_options.idleLimit).count())
    {
        connection.socket->Disconnect(true);
        return;
    }
    // Only the time the session waits on the client counts against it: preparing segments is the
    // server's own.
    connection.windowWaited += std::min(sinceLastLook, now - since);
    const int64_t window = m_options.slowWindow.count();
    if (connection.windowWaited < window)
        return;
    const uint64_t moved = connection.socket->GetBytesMoved();
    if ((moved - connection.windowStartBytes) * 1000 <
        m_options.slowFloor * static_cast<uint64_t>(connection.windowWaited))
    {
        connection.tooSlow = true;
        connection.socket->Disconnect(true);
        return;
    }
    connection.windowWaited = 0;
    connection.windowStartBytes = moved;
}

bool RepairServer::ReapFinished(bool all)
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
    return !ended.empty();
}
