#include "repair/RepairManifest.h"

#include <algorithm>
#include <cstring>

#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"

namespace
{
constexpr size_t kHeaderSize = 28;
constexpr size_t kSegmentEntrySize = 2 * kRepairDigestSize;
constexpr uint8_t kLastControl = 0x1F;
constexpr uint8_t kDelete = 0x7F;

// Takes fields from the front of the bytes; every take checks what remains first.
class FieldReader
{
public:
    FieldReader(const uint8_t *bytes, size_t size) : m_bytes(bytes), m_left(size) {}

    size_t Left() const { return m_left; }

    bool Take(size_t count, const uint8_t *&field)
    {
        if (count > m_left)
            return false;
        field = m_bytes;
        m_bytes += count;
        m_left -= count;
        return true;
    }

    // A little-endian number of 2, 4 or 8 bytes.
    bool TakeNumber(size_t width, uint64_t &value)
    {
        const uint8_t *field = nullptr;
        if (!Take(width, field))
            return false;
        if (width == 8)
            value = LittleEndian::Read64(field);
        else if (width == 4)
            value = LittleEndian::Read32(field);
        else
            value = LittleEndian::Read16(field);
        return true;
    }

private:
    const uint8_t *m_bytes;
    size_t m_left;
};

void AppendDigest(std::string &bytes, const Sha256Digest &digest)
{
    bytes.append(reinterpret_cast<const char *>(digest.data()), digest.size());
}

uint64_t BlockCount(uint64_t size)
{
    return size / kRepairBlockSize + (size % kRepairBlockSize != 0 ? 1 : 0);
}
} // namespace

const char *DescribeRecordVouch(RecordVouch vouch)
{
    switch (vouch)
    {
    case RecordVouch::Vouched:
        return "the manifest calls for it";
    case RecordVouch::InstallationOwn:
        return "the file belongs to the installation";
    case RecordVouch::NotListed:
        return "the manifest has no such file or segment";
    case RecordVouch::NotCalledFor:
        return "the manifest does not call for that deletion or cut";
    case RecordVouch::OtherBytes:
        return "the bytes are not the manifest's";
    case RecordVouch::LeavesGap:
        return "the segment starts beyond the end of the file";
    }
    return "unknown";
}

Sha256Digest DigestOfBlockDigests(const uint8_t *digests, size_t count)
{
    SHA256 hash;
    hash.Update(digests, count * kRepairDigestSize);
    return hash.Finish();
}

std::string ManifestNameOfKeyPath(const std::wstring &keyPath)
{
    std::wstring path = keyPath;
    NormalizeSeparators(path, L'/');
    return PathToNative(path);
}

std::wstring KeyPathOfManifestName(const std::string &name)
{
    std::wstring path = NativeToPath(name);
    NormalizeSeparators(path, L'\\');
    return path;
}

bool IsValidManifestName(const std::string &name, std::string &problem)
{
    if (name.empty() || name.size() > kMaxRepairManifestNameBytes)
    {
        problem = "a name is empty or longer than " + std::to_string(kMaxRepairManifestNameBytes) + " bytes";
        return false;
    }
    for (const char c : name)
    {
        const uint8_t byte = static_cast<uint8_t>(c);
        if (byte <= kLastControl || byte == kDelete || c == '\\')
        {
            problem = "a name holds a control character or a backslash";
            return false;
        }
    }
    if (PathToNative(NativeToPath(name)) != name)
    {
        problem = "a name is not UTF-8";
        return false;
    }
    const std::wstring keyPath = KeyPathOfManifestName(name);
    if (!IsSafeSegmentKey(MakeSegmentKey(keyPath, 0)))
    {
        problem = "the name " + name + " leaves the tree, or has an empty, \".\" or \"..\" component";
        return false;
    }
    if (IsInstallationOwn(keyPath))
    {
        problem = "the name " + name + " is a file of an installation, which no repair touches";
        return false;
    }
    return true;
}

ZELKRESULT RepairManifest::Parse(const void *bytes, size_t size, std::string &problem)
{
    *this = RepairManifest();
    RepairManifest parsed;
    FieldReader in(static_cast<const uint8_t *>(bytes), size);
    const auto refuse = [&problem](const std::string &why) {
        problem = why;
        return ZELKRESULT_BAD_FORMAT;
    };
    uint64_t magic = 0;
    uint64_t version = 0;
    uint64_t segmentSize = 0;
    uint64_t blockSize = 0;
    uint64_t count = 0;
    if (size < kHeaderSize)
        return refuse("shorter than the header");
    in.TakeNumber(4, magic);
    in.TakeNumber(4, version);
    in.TakeNumber(4, segmentSize);
    in.TakeNumber(4, blockSize);
    in.TakeNumber(8, parsed.m_serial);
    in.TakeNumber(4, count);
    if (magic != kRepairManifestMagic)
        return refuse("not a repair manifest");
    if (version != kRepairManifestVersion)
        return refuse("format version " + std::to_string(version) + ", not " + std::to_string(kRepairManifestVersion));
    if (segmentSize != kSegmentSize || blockSize != kRepairBlockSize)
        return refuse("segments or blocks of another size");
    if (count > kMaxRepairManifestFiles)
        return refuse("more files than any installation has");

    for (uint64_t i = 0; i < count; ++i)
    {
        const std::string where = "file " + std::to_string(i + 1) + ": ";
        uint64_t nameLength = 0;
        const uint8_t *name = nullptr;
        uint64_t fileSize = 0;
        if (!in.TakeNumber(2, nameLength) || !in.Take(nameLength, name) || !in.TakeNumber(8, fileSize))
            return refuse(where + "the manifest ends inside it");
        File file;
        file.name.assign(reinterpret_cast<const char *>(name), nameLength);
        file.size = fileSize;
        std::string why;
        if (!IsValidManifestName(file.name, why))
            return refuse(where + why);
        if (!parsed.m_files.empty() && !(parsed.m_files.back().name < file.name))
            return refuse(where + "the names are not in ascending order, or one is there twice");
        const uint64_t segments = SegmentCount(fileSize);
        if (fileSize > static_cast<uint64_t>(INT64_MAX) ||
            segments > kMaxRepairManifestSegments - parsed.m_segments.size())
            return refuse(where + "more segments than any installation has");
        if (segments > in.Left() / kSegmentEntrySize)
            return refuse(where + "the manifest ends inside its segments");
        file.firstSegment = parsed.m_segments.size();
        file.firstBlock = parsed.m_blockCount;
        for (uint64_t s = 0; s < segments; ++s)
        {
            const uint8_t *entry = nullptr;
            in.Take(kSegmentEntrySize, entry);
            Segment segment;
            std::memcpy(segment.digest.data(), entry, kRepairDigestSize);
            std::memcpy(segment.blocksDigest.data(), entry + kRepairDigestSize, kRepairDigestSize);
            parsed.m_segments.push_back(segment);
        }
        parsed.m_blockCount += BlockCount(fileSize);
        parsed.m_files.push_back(std::move(file));
    }
    if (in.Left() != 0)
        return refuse("bytes follow the last file");
    *this = std::move(parsed);
    return ZELKRESULT_OK;
}

std::string RepairManifest::Encode() const
{
    std::string bytes;
    LittleEndian::Append32(bytes, kRepairManifestMagic);
    LittleEndian::Append32(bytes, kRepairManifestVersion);
    LittleEndian::Append32(bytes, static_cast<uint32_t>(kSegmentSize));
    LittleEndian::Append32(bytes, kRepairBlockSize);
    LittleEndian::Append64(bytes, m_serial);
    LittleEndian::Append32(bytes, static_cast<uint32_t>(m_files.size()));
    for (const File &file : m_files)
    {
        LittleEndian::Append16(bytes, static_cast<uint16_t>(file.name.size()));
        bytes += file.name;
        LittleEndian::Append64(bytes, file.size);
        for (uint64_t s = 0; s < SegmentCount(file.size); ++s)
        {
            const Segment &segment = GetSegment(file, s);
            AppendDigest(bytes, segment.digest);
            AppendDigest(bytes, segment.blocksDigest);
        }
    }
    return bytes;
}

bool RepairManifest::AddFile(const std::string &name, uint64_t size, const std::vector<Segment> &segments,
                             std::string &problem)
{
    if (!IsValidManifestName(name, problem))
        return false;
    if (!m_files.empty() && !(m_files.back().name < name))
    {
        problem = "the file " + name + " does not come after " + m_files.back().name;
        return false;
    }
    if (m_files.size() >= kMaxRepairManifestFiles || segments.size() != SegmentCount(size) ||
        segments.size() > kMaxRepairManifestSegments - m_segments.size())
    {
        problem = "the file " + name + " is beyond what a manifest may hold";
        return false;
    }
    File file;
    file.name = name;
    file.size = size;
    file.firstSegment = m_segments.size();
    file.firstBlock = m_blockCount;
    m_segments.insert(m_segments.end(), segments.begin(), segments.end());
    m_blockCount += BlockCount(size);
    m_files.push_back(std::move(file));
    return true;
}

const RepairManifest::File *RepairManifest::FindFile(const std::wstring &keyPath) const
{
    const std::string name = ManifestNameOfKeyPath(keyPath);
    const auto it = std::lower_bound(m_files.begin(), m_files.end(), name,
                                     [](const File &file, const std::string &wanted) { return file.name < wanted; });
    return it != m_files.end() && it->name == name ? &*it : nullptr;
}

const RepairManifest::Segment &RepairManifest::GetSegment(const File &file, uint64_t index) const
{
    return m_segments[file.firstSegment + index];
}

uint64_t RepairManifest::SegmentLength(const File &file, uint64_t index)
{
    const uint64_t start = index * kSegmentSize;
    return start >= file.size ? 0 : std::min<uint64_t>(kSegmentSize, file.size - start);
}

uint64_t RepairManifest::BlocksOffset(const File &file, uint64_t index)
{
    return (file.firstBlock + index * kRepairBlocksPerSegment) * kRepairDigestSize;
}

uint64_t RepairManifest::BlocksLength(const File &file, uint64_t index)
{
    return BlockCount(SegmentLength(file, index)) * kRepairDigestSize;
}

RecordVouch RepairManifest::Vouch(const std::wstring &key, uint32_t checksum, const uint8_t *data, size_t length,
                                  uint64_t localSize) const
{
    const std::wstring path = SegmentKeyPath(key);
    const int64_t index = SegmentKeyIndex(key);
    if (IsInstallationOwn(path))
        return RecordVouch::InstallationOwn;
    const File *file = FindFile(path);
    if (index < 0)
        return RecordVouch::NotListed;
    const uint64_t segment = static_cast<uint64_t>(index);
    if (checksum == 0)
    {
        // A deletion is called for by a file the manifest lacks; a cut, by one that ends where the
        // cut is (a file that ends inside a segment is cut by that segment's own, shorter bytes).
        if (segment == 0)
            return file == nullptr ? RecordVouch::Vouched : RecordVouch::NotCalledFor;
        return file != nullptr && file->size == segment * kSegmentSize ? RecordVouch::Vouched
                                                                       : RecordVouch::NotCalledFor;
    }
    if (file == nullptr)
        return RecordVouch::NotListed;
    if (file->size == 0)
        return segment == 0 && length == 0 ? RecordVouch::Vouched : RecordVouch::NotListed;
    if (segment >= SegmentCount(file->size))
        return RecordVouch::NotListed;
    SHA256 hash;
    hash.Update(data, length);
    if (hash.Finish() != GetSegment(*file, segment).digest)
        return RecordVouch::OtherBytes;
    if (segment * kSegmentSize > localSize)
        return RecordVouch::LeavesGap;
    return RecordVouch::Vouched;
}
