#include "repair/SegmentDigestCache.h"

#include <algorithm>
#include <cstring>

#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/DetachedSignature.h"
#include "repair/RepairManifest.h"

namespace
{
constexpr size_t kWriteBlockSize = 64 * 1024;
// What follows an entry's name: its checksum and its digest.
constexpr uint32_t kEntryTrailSize = 4 + 32;

void AppendBytes(std::string &block, const std::string &bytes)
{
    LittleEndian::Append32(block, static_cast<uint32_t>(bytes.size()));
    block += bytes;
}

// Bytes written by AppendBytes, at most limit of them.
ZELKRESULT ReadBytes(ZelkDataBuffer &source, uint64_t limit, std::string &bytes)
{
    uint32_t length = 0;
    if (const ZELKRESULT result = LittleEndian::Read32(source, length))
        return result;
    if (length > limit)
        return ZELKRESULT_BAD_FORMAT;
    bytes.resize(length);
    return length == 0 ? ZELKRESULT_OK : source.Read(bytes.data(), length);
}

} // namespace

ZELKRESULT SegmentDigestCache::Load(const std::wstring &path)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessRead);
    return Load(file);
}

ZELKRESULT SegmentDigestCache::Load(const ConfinedDirectory &root, const std::wstring &name)
{
    ZelkDataBufferFile file(root, name, ZelkDataBufferFile::AccessRead);
    return Load(file);
}

ZELKRESULT SegmentDigestCache::Load(ZelkDataBufferFile &file)
{
    m_digests.clear();
    m_manifest = KeptRepairManifest();
    m_changed = false;
    if (!file.IsOpen())
        return ZELKRESULT_IO;
    uint32_t magic = 0;
    uint32_t count = 0;
    if (const ZELKRESULT result = LittleEndian::Read32(file, magic))
        return result;
    if (magic != kSegmentDigestCacheMagic && magic != kSegmentDigestCacheFirstMagic)
        return ZELKRESULT_BAD_FORMAT;
    if (const ZELKRESULT result = LittleEndian::Read32(file, count))
        return result;
    if (count > kMaxSummaryEntries)
        return ZELKRESULT_BAD_FORMAT;
    // A name is at most 64 KiB, so each entry is read into one buffer of bounded size.
    std::string entry;
    for (uint32_t i = 0; i < count; ++i)
    {
        uint32_t units = 0;
        if (const ZELKRESULT result = LittleEndian::Read32(file, units))
            return result;
        if (units > kMaxSummaryNameLength)
            return ZELKRESULT_BAD_FORMAT;
        entry.resize(size_t(units) * 2 + kEntryTrailSize);
        if (const ZELKRESULT result = file.Read(entry.data(), static_cast<uint32_t>(entry.size())))
            return result;
        const auto *trail = reinterpret_cast<const uint8_t *>(entry.data()) + size_t(units) * 2;
        Known known;
        known.checksum = LittleEndian::Read32(trail);
        std::memcpy(known.digest.data(), trail + 4, known.digest.size());
        m_digests.insert_or_assign(m_digests.end(), DecodeUtf16LE(entry.data(), units), known);
    }
    return magic == kSegmentDigestCacheMagic ? LoadManifest(file) : ZELKRESULT_OK;
}

ZELKRESULT SegmentDigestCache::Save(const std::wstring &path)
{
    ReplacementFile file(path);
    return Save(file);
}

ZELKRESULT SegmentDigestCache::Save(const ConfinedDirectory &root, const std::wstring &name)
{
    ReplacementFile file(root, name);
    return Save(file);
}

ZELKRESULT SegmentDigestCache::LoadManifest(ZelkDataBufferFile &file)
{
    KeptRepairManifest kept;
    for (const auto &[bytes, limit] : {std::pair{&kept.version.etag, uint64_t(kMaxHttpVersionLength)},
                                       std::pair{&kept.bytes, kMaxRepairManifestSize},
                                       std::pair{&kept.signature, uint64_t(kMaxSignatureFileSize)}})
    {
        if (const ZELKRESULT result = ReadBytes(file, limit, *bytes))
            return result;
    }
    if (!IsSendableHeaderValue(kept.version.etag))
        return ZELKRESULT_BAD_FORMAT;
    m_manifest = std::move(kept);
    return ZELKRESULT_OK;
}

void SegmentDigestCache::KeepManifest(const KeptRepairManifest &manifest)
{
    if (manifest == m_manifest)
        return;
    m_manifest = manifest;
    m_changed = true;
}

ZELKRESULT SegmentDigestCache::Save(ReplacementFile &file)
{
    if (!file.IsOpen())
        return ZELKRESULT_IO;
    std::string block;
    LittleEndian::Append32(block, kSegmentDigestCacheMagic);
    LittleEndian::Append32(block, static_cast<uint32_t>(m_digests.size()));
    for (const auto &[key, known] : m_digests)
    {
        const std::string name = EncodeUtf16LE(key);
        LittleEndian::Append32(block, static_cast<uint32_t>(name.size() / 2));
        block += name;
        LittleEndian::Append32(block, known.checksum);
        block.append(reinterpret_cast<const char *>(known.digest.data()), known.digest.size());
        if (block.size() >= kWriteBlockSize)
        {
            if (!file.Write(block))
                return ZELKRESULT_IO;
            block.clear();
        }
    }
    AppendBytes(block, m_manifest.version.etag);
    if (!file.Write(block))
        return ZELKRESULT_IO;
    block.clear();
    AppendBytes(block, m_manifest.bytes);
    AppendBytes(block, m_manifest.signature);
    if (!file.Write(block) || !file.Commit())
        return ZELKRESULT_IO;
    m_changed = false;
    return ZELKRESULT_OK;
}

bool SegmentDigestCache::Find(const std::wstring &key, uint32_t checksum, Sha256Digest &digest) const
{
    const auto it = m_digests.find(key);
    if (it == m_digests.end() || checksum == 0 || it->second.checksum != checksum)
        return false;
    digest = it->second.digest;
    return true;
}

void SegmentDigestCache::Store(const std::wstring &key, uint32_t checksum, const Sha256Digest &digest)
{
    // 0 is the checksum of a segment that could not be read: no digest stands for it.
    m_changed = true;
    if (checksum == 0)
    {
        m_digests.erase(key);
        return;
    }
    m_digests.insert_or_assign(key, Known{checksum, digest});
}

void SegmentDigestCache::KeepOnly(const std::vector<FileTreeSummary::Entry> &entries)
{
    std::map<std::wstring, Known, FileTreeSummary::KeyOrder> kept;
    for (const FileTreeSummary::Entry &entry : entries)
    {
        const auto it = m_digests.find(entry.name);
        if (it != m_digests.end() && it->second.checksum == entry.checksum)
            kept.insert_or_assign(kept.end(), entry.name, it->second);
    }
    m_changed = m_changed || kept.size() != m_digests.size();
    m_digests.swap(kept);
}
