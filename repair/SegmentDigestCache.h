// The SHA-256 of an installation's segments, kept between repair runs beside the summary file
// ("repair.sha"). A repair from a web server compares every segment with the manifest's digest; a
// segment whose checksum in the summary is the one its digest was taken with is not read again,
// so that a second run reads nothing the summary says is unchanged.
//
// The file, all integers little-endian: the bytes "0sha", the entry count, then per entry the key's
// length in UTF-16 units, the key (UTF-16LE, a summary table key), the segment checksum the digest
// belongs to and the 32 bytes of the digest. Counts and lengths have the summary's bounds; a file
// that breaks them, or cannot be read, only costs the digests it would have given.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kernel/ZelkTypes.h"
#include "patch/SHA256.h"
#include "repair/FileTreeSummary.h"

class ConfinedDirectory;
class ReplacementFile;
class ZelkDataBufferFile;

constexpr uint32_t kSegmentDigestCacheMagic = 0x61687330u; // "0sha"

class SegmentDigestCache
{
public:
    // Replaces the content with the file's; what it read before a failure stays.
    ZELKRESULT Load(const std::wstring &path);
    // The same for the file name beneath an installation held open.
    ZELKRESULT Load(const ConfinedDirectory &root, const std::wstring &name);
    // Replaces the file whole (a crash leaves the old one or the new one).
    ZELKRESULT Save(const std::wstring &path);
    ZELKRESULT Save(const ConfinedDirectory &root, const std::wstring &name);
    // Whether anything changed since the last Load or Save.
    bool IsChanged() const { return m_changed; }

    // The digest taken of the segment when its checksum was checksum.
    bool Find(const std::wstring &key, uint32_t checksum, Sha256Digest &digest) const;
    void Store(const std::wstring &key, uint32_t checksum, const Sha256Digest &digest);
    // Drops the digests of segments the summary no longer holds with the same checksum.
    void KeepOnly(const std::vector<FileTreeSummary::Entry> &entries);
    size_t GetCount() const { return m_digests.size(); }

private:
    ZELKRESULT Load(ZelkDataBufferFile &file);
    ZELKRESULT Save(ReplacementFile &file);

    struct Known
    {
        uint32_t checksum = 0;
        Sha256Digest digest{};
    };
    std::map<std::wstring, Known, FileTreeSummary::KeyOrder> m_digests;
    bool m_changed = false;
};
