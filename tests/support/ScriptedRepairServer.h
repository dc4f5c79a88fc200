// The repair server's side of the protocol, byte by byte, for tests that script a server on a
// loopback peer (LoopbackPeer.h): the handshake, the client's summary, the count and the records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LoopbackPeer.h"
#include "kernel/ByteOrder.h"
#include "kernel/TextConvert.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"

namespace repairpeer
{
inline std::string Uint32(uint32_t value)
{
    std::string bytes;
    LittleEndian::Append32(bytes, value);
    return bytes;
}

// The number at at; all ones when the bytes end before it.
inline uint32_t NumberAt(const std::string &bytes, size_t at = 0)
{
    return bytes.size() < at + 4 ? 0xFFFFFFFFu : LittleEndian::Read32(bytes.data() + at);
}

inline std::string RawRecord(const std::wstring &name, uint32_t checksum, const std::string &payload)
{
    RepairRecordHeader header;
    header.name = name;
    header.checksum = checksum;
    header.payloadLength = static_cast<uint32_t>(payload.size());
    return EncodeRepairRecordHeader(header) + payload;
}

// Up to the records: the client's version, the answer, and the client's summary, whose keys come
// back (none when the answer is not the protocol's version).
inline std::vector<std::wstring> Handshake(int fd, uint32_t answer = kRepairProtocolVersion)
{
    std::vector<std::wstring> keys;
    if (NumberAt(loopback::ReceiveAll(fd, 4)) != kRepairProtocolVersion)
        ADD_FAILURE() << "the client did not send version 6";
    loopback::SendAll(fd, Uint32(answer));
    if (answer != kRepairProtocolVersion)
        return keys;
    const std::string head = loopback::ReceiveAll(fd, 8);
    EXPECT_EQ(NumberAt(head), SummaryMagic);
    const uint32_t count = NumberAt(head, 4);
    for (uint32_t i = 0; i < count && i < kMaxSummaryEntries; ++i)
    {
        const uint32_t length = NumberAt(loopback::ReceiveAll(fd, 4));
        if (length > kMaxSummaryNameLength)
            break;
        const std::string name = loopback::ReceiveAll(fd, 2 * length);
        keys.push_back(DecodeUtf16LE(name.data(), name.size() / 2));
        loopback::ReceiveAll(fd, 12);
    }
    return keys;
}
} // namespace repairpeer
