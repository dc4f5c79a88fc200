// The records a repair server sends, read as the client reads them: header after header, each
// payload taken whole and a compressed one expanded when its frame promises no more than a
// segment. A header the reader takes keeps every rule and reads back the same from its own
// encoding; a refused one says why; nothing grows past a segment.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"
#include "repair/RepairProtocol.h"

namespace
{
constexpr int kMostRecords = 64;

void CheckRoundTrip(const RepairRecordHeader &header)
{
    const std::string encoded = EncodeRepairRecordHeader(header);
    ZelkDataBufferMemoryStatic again(encoded.data(), static_cast<uint32_t>(encoded.size()));
    RepairRecordHeader reread;
    RepairRecordFault fault = RepairRecordFault::None;
    fuzz::Check(ReadRepairRecordHeader(again, reread, fault) == ZELKRESULT_OK, "an encoded header is refused",
                DescribeRepairRecordFault(fault));
    fuzz::Check(reread.compressed == header.compressed && reread.name == header.name &&
                    reread.checksum == header.checksum && reread.payloadLength == header.payloadLength,
                "a header changed on its way through its encoding");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZelkDataBufferMemoryStatic source(data, static_cast<uint32_t>(size));
    for (int record = 0; record < kMostRecords; ++record)
    {
        RepairRecordHeader header;
        RepairRecordFault fault = RepairRecordFault::None;
        const ZELKRESULT result = ReadRepairRecordHeader(source, header, fault);
        if (result != ZELKRESULT_OK)
        {
            fuzz::Check((result == ZELKRESULT_BAD_FORMAT) == (fault != RepairRecordFault::None),
                        "a refusal and its reason disagree");
            return 0;
        }
        fuzz::Check(CheckRepairRecordHeader(header) == RepairRecordFault::None, "a taken header breaks a rule");
        fuzz::Check(IsSafeSegmentKey(header.name), "a taken header names no segment below the installation");
        fuzz::Check(header.payloadLength <= (header.compressed ? kMaxCompressedRecordPayload : kMaxRawRecordPayload),
                    "a taken payload is longer than a segment's");
        CheckRoundTrip(header);

        std::vector<uint8_t> payload(header.payloadLength);
        if (header.payloadLength != 0 && source.Read(payload.data(), header.payloadLength) != ZELKRESULT_OK)
            return 0;
        if (!header.compressed || !IsSegmentSizedBlock(payload.data(), header.payloadLength))
            continue;
        ZelkDataBufferMemoryStatic block(payload.data(), header.payloadLength);
        ZelkDataBufferMemoryDynamic expanded;
        if (ZelkUtil::DecompressData(expanded, block) == ZELKRESULT_OK)
            fuzz::Check(expanded.GetSize() <= kSegmentSize, "a block expanded past a segment");
    }
    return 0;
}
