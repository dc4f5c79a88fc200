// The repair manifest: every file of a reference tree with its size and the SHA-256 of each of its
// 4 MiB segments, so that a patcher can repair from files that any web server or CDN serves, and
// check every byte a repair server sends before it is written. A publisher makes it with
// zelk-mkmanifest and serves it beside the tree:
//
//   BASE/repair-manifest      this format
//   BASE/repair-manifest.sig  its detached signature (patch/DetachedSignature.h), when signed
//   BASE/repair-blocks        the SHA-256 of every 64 KiB block of every segment
//   BASE/files/PATH           the reference's files, PATH percent-encoded
//
// repair-manifest, all integers little-endian, no padding:
//
//   offset  size  field
//        0     4  magic: the bytes 0x30 0x72 0x6D 0x66 ("0rmf")
//        4     4  format version: 1
//        8     4  segment size: 4,194,304 (nothing else is read)
//       12     4  block size: 65,536 (nothing else is read)
//       16     8  serial: the publisher raises it with every manifest
//       24     4  file count F: at most kMaxRepairManifestFiles
//       28        F files, their names in strictly ascending byte order (so each name once):
//                   2  name length n: 1 to kMaxRepairManifestNameBytes
//                   n  name: UTF-8, the path relative to the tree with '/' between components;
//                      no component empty, "." or "..", no '\', no control character, no drive,
//                      and none of the files that belong to an installation (IsInstallationOwn)
//                   8  size in bytes
//                      then, for each of its ceil(size / 4 MiB) segments:
//                  32  SHA-256 of the segment's bytes
//                  32  SHA-256 of the segment's range of repair-blocks
//                   nothing follows the last file.
//
// repair-blocks holds, for each segment in the manifest's order (files in order, each file's
// segments in order), the SHA-256 of each of its 64 KiB blocks (the last one of a file may be
// shorter), 32 bytes each and nothing else: one segment's block digests are one contiguous range,
// which starts where the previous segment's ends.
//
// Every count and length is checked against its bound and against the bytes that remain before it
// is used, so a hostile manifest costs at most memory in proportion to its own size, which a
// reader bounds by kMaxRepairManifestSize, and a pass over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/ZelkTypes.h"
#include "patch/SHA256.h"

constexpr uint32_t kRepairManifestMagic = 0x666D7230u; // "0rmf"
constexpr uint32_t kRepairManifestVersion = 1;
constexpr uint32_t kRepairBlockSize = 65536;
constexpr uint64_t kRepairBlocksPerSegment = 64;
constexpr uint32_t kRepairDigestSize = 32;
// Far beyond any installation (a million files, 8 TiB), and so the most a manifest may cost: what
// a reader fetches and holds is bounded by kMaxRepairManifestSize before it is parsed.
constexpr uint32_t kMaxRepairManifestFiles = 1000000;
constexpr uint64_t kMaxRepairManifestSegments = 2000000;
constexpr uint32_t kMaxRepairManifestNameBytes = 32768;
constexpr uint64_t kMaxRepairManifestSize = 256ull * 1024 * 1024;

// The names of the layout below a base address.
inline constexpr char kRepairManifestFileName[] = "repair-manifest";
inline constexpr char kRepairBlocksFileName[] = "repair-blocks";
inline constexpr char kRepairFilesDirectory[] = "files/";

// What the manifest says of a change a repair server asks for.
enum class RecordVouch
{
    Vouched,
    InstallationOwn, // a file that belongs to the installation: no repair touches it
    NotListed,       // bytes for a file, or a segment, the manifest does not have
    NotCalledFor,    // a deletion of a file the manifest lists, or a cut where the file goes on
    OtherBytes,      // bytes other than the manifest's for that segment
    LeavesGap,       // a segment beyond the end of the file, which would put unvouched zeros before it
};
const char *DescribeRecordVouch(RecordVouch vouch);

class RepairManifest
{
public:
    struct Segment
    {
        Sha256Digest digest;       // of the segment's bytes
        Sha256Digest blocksDigest; // of its range of repair-blocks
    };

    struct File
    {
        std::string name;         // UTF-8, '/' between components
        uint64_t size = 0;
        uint64_t firstSegment = 0; // its first segment's position among all of the manifest's
        uint64_t firstBlock = 0;   // its first block digest's position in repair-blocks
    };

    // Reads a manifest's bytes, replacing what this one held. ZELKRESULT_BAD_FORMAT, with the
    // reason in problem, for bytes that break a rule or a bound of the format.
    ZELKRESULT Parse(const void *bytes, size_t size, std::string &problem);
    // The bytes Parse reads.
    std::string Encode() const;

    // Building: files go in in ascending name order, each with one Segment per 4 MiB of its size.
    // False, with the reason in problem, for a name or a count the format does not allow.
    void SetSerial(uint64_t serial) { m_serial = serial; }
    bool AddFile(const std::string &name, uint64_t size, const std::vector<Segment> &segments, std::string &problem);

    uint64_t GetSerial() const { return m_serial; }
    const std::vector<File> &GetFiles() const { return m_files; }
    uint64_t GetBlockCount() const { return m_blockCount; }
    // The file whose table-key path ('\' between components) is given, or null.
    const File *FindFile(const std::wstring &keyPath) const;
    const Segment &GetSegment(const File &file, uint64_t index) const;
    // The segment's length in bytes, and the place and length of its block digests in repair-blocks.
    static uint64_t SegmentLength(const File &file, uint64_t index);
    static uint64_t BlocksOffset(const File &file, uint64_t index);
    static uint64_t BlocksLength(const File &file, uint64_t index);

    // Whether the manifest calls for a repair record: a segment (checksum not 0) whose bytes are
    // data, a cut of the file at the key's segment or the deletion of the file (checksum 0, at an
    // index above 0 or at 0). localSize is the size of the file in the installation now (0 when
    // there is none): a segment may not start beyond it.
    RecordVouch Vouch(const std::wstring &key, uint32_t checksum, const uint8_t *data, size_t length,
                      uint64_t localSize) const;

private:
    uint64_t m_serial = 0;
    std::vector<File> m_files;
    std::vector<Segment> m_segments;
    uint64_t m_blockCount = 0;
};

// The SHA-256 of a segment's range of repair-blocks: of its blocks' digests one after the other.
Sha256Digest DigestOfBlockDigests(const uint8_t *digests, size_t count);
// The manifest name of a table-key path ('\' becomes '/', UTF-8), and back.
std::string ManifestNameOfKeyPath(const std::wstring &keyPath);
std::wstring KeyPathOfManifestName(const std::string &name);
// A name of a file in the manifest, as the rules above allow; false with the reason.
bool IsValidManifestName(const std::string &name, std::string &problem);
