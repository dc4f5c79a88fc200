// The repair connection's wire format, shared by the patcher and the repair server. All integers
// are little-endian and the order of the exchange is fixed:
//   client: uint32 version; server: uint32 version (the client goes on only when it is 6);
//   client: its summary (the summary file's bytes); server: uint32 record count, then the records.
// A record: uint8 compressed flag (0 raw, anything else compressed), uint32 name length n in
// UTF-16 units, 2 x n bytes of name (a segment key: relative path with '\', '#', index), uint32
// checksum (0: the segment must not exist), uint32 payload length L, then L bytes: the segment's
// bytes, or for a compressed record one framed compressed block that expands to them.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"
#include "repair/FileTreeSummary.h"

constexpr uint32_t kRepairProtocolVersion = 6;
constexpr uint16_t kRepairPort = 6000;

// The bytes of a record before its name and after it, before the payload.
constexpr uint32_t kRepairRecordLeadSize = 5;
constexpr uint32_t kRepairRecordTrailSize = 8;
// A raw payload is at most one segment. A compressed one is one framed block of a segment: its
// 8-byte frame header and a deflate stream, which for incompressible data is a little longer than
// the data itself (about 1,300 bytes per 4 MiB); the bound leaves room for that and no more.
constexpr uint32_t kMaxRawRecordPayload = static_cast<uint32_t>(kSegmentSize);
constexpr uint32_t kMaxCompressedRecordPayload = static_cast<uint32_t>(kSegmentSize + kSegmentSize / 2048 + 64);
constexpr uint32_t kFramedBlockHeaderSize = 8;

struct RepairRecordHeader
{
    bool compressed = false;
    std::wstring name;
    uint32_t checksum = 0;
    uint32_t payloadLength = 0;
};

// Why a record is refused before anything is allocated or written for it.
enum class RepairRecordFault
{
    None,
    NameTooLong,     // longer than any name from outside may be
    UnsafeName,      // not a segment key below the installation
    MismatchedFlags, // checksum 0 with a flag or a payload, or compressed without a payload
    PayloadTooLong,  // more than a segment (raw) or a segment's block (compressed)
};

// Reads one record header. A failed read returns its code with fault None; a header that breaks a
// rule returns ZELKRESULT_BAD_FORMAT with the fault. The name length is checked before the name is
// read, so a claim never sizes an allocation.
ZELKRESULT ReadRepairRecordHeader(ZelkDataBuffer &source, RepairRecordHeader &header, RepairRecordFault &fault);
// The rules a header must keep, the name's included (the reader applies them all).
RepairRecordFault CheckRepairRecordHeader(const RepairRecordHeader &header);
// The header's bytes as they go on the wire; the payload follows them.
std::string EncodeRepairRecordHeader(const RepairRecordHeader &header);
const char *DescribeRepairRecordFault(RepairRecordFault fault);

// A segment key that names a segment below the directory it is joined to: within the bounds of
// names from outside, a '#' and at least three digits after the last component's name, an index a
// file offset can reach, and a path that is relative, without a drive, and whose components are
// neither empty, "." nor "..".
bool IsSafeSegmentKey(const std::wstring &key);
// Files at the top of an installation that belong to that installation, not to the build: the
// repair run's summary and digests and the uninstaller, which a repair run never lists; the
// uninstall log, which records this installation's own paths (the reference's would make the
// uninstaller miss every file); and the journal of a patch step cut short, which the next patch run
// needs. No repair sends, writes or deletes them. relative is a summary key's path ('\').
bool IsInstallationOwn(const std::wstring &relative);
// True when a compressed payload's frame header matches the payload's length and promises no more
// than one segment, so that expanding it allocates no more than a segment.
bool IsSegmentSizedBlock(const uint8_t *payload, uint32_t length);

// The handshake's and the count's 32-bit fields.
ZELKRESULT ReadRepairUint32(ZelkDataBuffer &source, uint32_t &value);
ZELKRESULT WriteRepairUint32(ZelkDataBuffer &destination, uint32_t value);
