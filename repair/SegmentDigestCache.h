// What a repair from a web server keeps between runs beside the summary file ("repair.sha"): the
// SHA-256 of the installation's segments and the manifest it accepted last.
// - Every segment is compared with the manifest's digest; a segment whose checksum in the summary
//   is the one its digest was taken with is not read again, so that a second run reads nothing the
//   summary says is unchanged.
// - The manifest is kept as it came, with its signature and the version its server named, so that
//   the next run only asks the server whether it changed; it is checked again like a fetched one.
//
// The file, all integers little-endian: the bytes "1sha", the entry count, then per entry the key's
// length in UTF-16 units, the key (UTF-16LE, a summary table key), the segment checksum the digest
// belongs to and the 32 bytes of the digest; then the kept manifest's entity tag, bytes and
// signature, each as its length and its bytes. Counts and lengths have the summary's and
// the manifest's bounds; a file that breaks them, or cannot be read, only costs what it would have
// given. A file of the first form ("0sha") ends after the digests.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kernel/ZelkTypes.h"
#include "patch/HttpRangeSession.h"
#include "patch/SHA256.h"
#include "repair/FileTreeSummary.h"

class ConfinedDirectory;
class ReplacementFile;
class ZelkDataBufferFile;

constexpr uint32_t kSegmentDigestCacheMagic = 0x61687331u;      // "1sha"
constexpr uint32_t kSegmentDigestCacheFirstMagic = 0x61687330u; // "0sha", without a manifest

// The repair manifest accepted last, as it came.
struct KeptRepairManifest
{
    HttpVersion version;
    std::string bytes;
    std::string signature; // empty when no publisher key asked for one

    bool operator==(const KeptRepairManifest &other) const
    {
        return version == other.version && bytes == other.bytes && signature == other.signature;
    }
};

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

    // The manifest accepted last (its bytes empty when there is none).
    const KeptRepairManifest &GetKeptManifest() const { return m_manifest; }
    void KeepManifest(const KeptRepairManifest &manifest);

private:
    ZELKRESULT Load(ZelkDataBufferFile &file);
    // The kept manifest, after the digests.
    ZELKRESULT LoadManifest(ZelkDataBufferFile &file);
    ZELKRESULT Save(ReplacementFile &file);

    struct Known
    {
        uint32_t checksum = 0;
        Sha256Digest digest{};
    };
    std::map<std::wstring, Known, FileTreeSummary::KeyOrder> m_digests;
    KeptRepairManifest m_manifest;
    bool m_changed = false;
};
