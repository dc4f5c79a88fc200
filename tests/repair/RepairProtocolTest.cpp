#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/ByteOrder.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "repair/RepairProtocol.h"

namespace
{
struct HeaderCase
{
    const char *what;
    bool compressed;
    std::wstring name;
    uint32_t checksum;
    uint32_t payloadLength;
    RepairRecordFault fault;
};

class RepairRecordHeaderTest : public testing::TestWithParam<HeaderCase>
{
};

// Each header goes through the wire encoding and the reader, as a server's record would.
TEST_P(RepairRecordHeaderTest, ReaderAppliesEveryRule)
{
    const HeaderCase &c = GetParam();
    RepairRecordHeader sent;
    sent.compressed = c.compressed;
    sent.name = c.name;
    sent.checksum = c.checksum;
    sent.payloadLength = c.payloadLength;
    EXPECT_EQ(CheckRepairRecordHeader(sent), c.fault);

    auto wire = MakeDataBufferFromString(EncodeRepairRecordHeader(sent));
    RepairRecordHeader read;
    RepairRecordFault fault = RepairRecordFault::None;
    const ZELKRESULT result = ReadRepairRecordHeader(*wire, read, fault);
    EXPECT_EQ(fault, c.fault);
    if (c.fault != RepairRecordFault::None)
    {
        EXPECT_EQ(result, ZELKRESULT_BAD_FORMAT);
        return;
    }
    ASSERT_EQ(result, ZELKRESULT_OK);
    EXPECT_EQ(read.compressed, c.compressed);
    EXPECT_EQ(read.name, c.name);
    EXPECT_EQ(read.checksum, c.checksum);
    EXPECT_EQ(read.payloadLength, c.payloadLength);
    EXPECT_EQ(wire->GetPosition(), wire->GetSize());
}

const uint32_t kSegment = static_cast<uint32_t>(kSegmentSize);

INSTANTIATE_TEST_SUITE_P(
    Records, RepairRecordHeaderTest,
    testing::Values(
        HeaderCase{"raw", false, L"bin\\a.dll#002", 7, 100, RepairRecordFault::None},
        HeaderCase{"raw whole segment", false, L"a#000", 7, kSegment, RepairRecordFault::None},
        HeaderCase{"raw empty", false, L"empty.txt#000", 1, 0, RepairRecordFault::None},
        HeaderCase{"compressed", true, L"a#1234", 7, 5000, RepairRecordFault::None},
        HeaderCase{"delete", false, L"a#000", 0, 0, RepairRecordFault::None},
        HeaderCase{"hash in name", false, L"x#y\\a#b.txt#001", 3, 1, RepairRecordFault::None},
        HeaderCase{"delete compressed", true, L"a#000", 0, 0, RepairRecordFault::MismatchedFlags},
        HeaderCase{"delete with payload", false, L"a#000", 0, 5, RepairRecordFault::MismatchedFlags},
        HeaderCase{"compressed empty", true, L"a#000", 5, 0, RepairRecordFault::MismatchedFlags},
        HeaderCase{"raw beyond segment", false, L"a#000", 5, kSegment + 1, RepairRecordFault::PayloadTooLong},
        HeaderCase{"compressed beyond", true, L"a#000", 5, kMaxCompressedRecordPayload + 1,
                   RepairRecordFault::PayloadTooLong},
        HeaderCase{"payload 2^31", false, L"a#000", 5, 0x80000000u, RepairRecordFault::PayloadTooLong},
        HeaderCase{"parent", false, L"..\\outside#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"inner parent", false, L"bin\\..\\..\\x#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"absolute", false, L"\\etc\\passwd#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"absolute slash", false, L"/tmp/x#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"drive", false, L"C:\\x#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"empty component", false, L"bin\\\\a#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"trailing separator", false, L"bin\\#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"dot component", false, L".\\a#000", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"no index", false, L"a.bin", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"short index", false, L"a.bin#01", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"index not digits", false, L"a.bin#0x1", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"index beyond offsets", false, L"a#99999999999999999999", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"empty name", false, L"", 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"nul", false, std::wstring(L"a\0b#000", 7), 5, 1, RepairRecordFault::UnsafeName},
        HeaderCase{"name beyond bound", false, std::wstring(40000, L'a') + L"#000", 5, 1,
                   RepairRecordFault::NameTooLong}),
    [](const testing::TestParamInfo<HeaderCase> &info) {
        std::string name = info.param.what;
        for (char &c : name)
        {
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return name;
    });

// A claimed name length is refused from the header alone: nothing is read or allocated for it.
TEST(RepairRecordReaderTest, HugeNameLengthIsRefusedBeforeReadingTheName)
{
    const std::string wire("\x00\x00\x00\x00\x80", 5);
    auto source = MakeDataBufferFromString(wire);
    RepairRecordHeader header;
    RepairRecordFault fault = RepairRecordFault::None;
    EXPECT_EQ(ReadRepairRecordHeader(*source, header, fault), ZELKRESULT_BAD_FORMAT);
    EXPECT_EQ(fault, RepairRecordFault::NameTooLong);
    EXPECT_EQ(source->GetPosition(), 5u);
}

TEST(RepairRecordReaderTest, CutHeaderGivesTheReadError)
{
    RepairRecordHeader sent;
    sent.name = L"a#000";
    sent.checksum = 9;
    sent.payloadLength = 3;
    const std::string wire = EncodeRepairRecordHeader(sent);
    for (size_t cut : {size_t(0), size_t(3), size_t(7), wire.size() - 1})
    {
        auto source = MakeDataBufferFromString(wire.substr(0, cut));
        RepairRecordHeader header;
        RepairRecordFault fault = RepairRecordFault::MismatchedFlags;
        EXPECT_NE(ReadRepairRecordHeader(*source, header, fault), ZELKRESULT_OK) << cut;
        EXPECT_EQ(fault, RepairRecordFault::None) << cut;
    }
}

TEST(RepairRecordReaderTest, WireLayoutIsLittleEndianUtf16)
{
    RepairRecordHeader header;
    header.compressed = true;
    header.name = L"a#001";
    header.checksum = 0x01020304;
    header.payloadLength = 0x0A0B0C0D;
    const std::string expected("\x01\x05\x00\x00\x00"
                               "a\0#\0" "0\0" "0\0" "1\0"
                               "\x04\x03\x02\x01\x0D\x0C\x0B\x0A",
                               23);
    EXPECT_EQ(EncodeRepairRecordHeader(header), expected);
}

TEST(RepairRecordReaderTest, CompressedBlockMustBeOneSegment)
{
    auto frame = [](uint32_t compressed, uint32_t expanded) {
        std::vector<uint8_t> bytes(8 + 16, 0);
        LittleEndian::Write32(bytes.data(), compressed);
        LittleEndian::Write32(bytes.data() + 4, expanded);
        return bytes;
    };
    EXPECT_TRUE(IsSegmentSizedBlock(frame(16, 5000).data(), 24));
    EXPECT_TRUE(IsSegmentSizedBlock(frame(16, kSegment).data(), 24));
    EXPECT_FALSE(IsSegmentSizedBlock(frame(16, kSegment + 1).data(), 24));
    EXPECT_FALSE(IsSegmentSizedBlock(frame(15, 5000).data(), 24));
    EXPECT_FALSE(IsSegmentSizedBlock(frame(16, 5000).data(), 7));
}
} // namespace
