#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "net/ZelkDataBuffer.h"

namespace
{
using testfiles::Pattern;

std::string ReadAll(ZelkDataBuffer &buffer)
{
    std::string text(buffer.GetSize() - buffer.GetPosition(), '\0');
    EXPECT_EQ(buffer.Read(text.data(), static_cast<uint32_t>(text.size())), ZELKRESULT_OK);
    return text;
}

std::string FileText(const std::wstring &path)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessRead);
    return file.IsOpen() ? ReadAll(file) : std::string("<missing>");
}

void MakeFile(const std::wstring &path, const std::string &text)
{
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessWrite);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_EQ(file.Write(text.data(), static_cast<uint32_t>(text.size())), ZELKRESULT_OK);
    ASSERT_EQ(file.Close(), ZELKRESULT_OK);
}

class TempDirTest : public ::testing::Test
{
protected:
    std::wstring Path(const std::wstring &name) const { return JoinPath(m_dir, name); }

    testfiles::TempDirectory m_temp;
    std::wstring m_dir = m_temp.WidePath();
};

// Records the size of every write so that the copy's chunking shows.
class RecordingBuffer : public ZelkDataBufferMemoryDynamic
{
public:
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        writes.push_back(count);
        return ZelkDataBufferMemoryDynamic::Write(source, count);
    }
    std::vector<uint32_t> writes;
};
} // namespace

// Memory buffers ----------------------------------------------------------------------------------

TEST(ZelkDataBufferMemoryDynamic, ShortReadDeliversWhatIsThere)
{
    ZelkDataBufferMemoryDynamic buffer;
    ASSERT_EQ(buffer.Write("0123456789", 10), ZELKRESULT_OK);
    ASSERT_EQ(buffer.Seek(4), ZELKRESULT_OK);
    char out[10] = {};
    EXPECT_EQ(buffer.Read(out, 10), ZELKRESULT_END_OF_DATA);
    EXPECT_EQ(std::string(out, 6), "456789");
    EXPECT_EQ(buffer.GetPosition(), 10u);
    EXPECT_EQ(buffer.Read(out, 0), ZELKRESULT_OK);
}

TEST(ZelkDataBufferMemoryDynamic, SeekPastTheEndStopsAtTheEnd)
{
    ZelkDataBufferMemoryDynamic buffer;
    buffer.Write("abcdef", 6);
    EXPECT_EQ(buffer.Seek(6), ZELKRESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 6u);
    for (uint64_t beyond : {7ull, 0x100000002ull})
    {
        buffer.Seek(2);
        EXPECT_EQ(buffer.Seek(beyond), ZELKRESULT_END_OF_DATA);
        EXPECT_EQ(buffer.GetPosition(), 6u);
    }
}

TEST(ZelkDataBufferMemoryDynamic, WriteGrowsAndSetSizeKeepsPositionInside)
{
    ZelkDataBufferMemoryDynamic buffer;
    buffer.Write("abcdefghij", 10);
    buffer.Seek(8);
    buffer.Write("XYZ", 3);
    EXPECT_EQ(buffer.GetSize(), 11u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer.GetData()), 11), "abcdefghXYZ");

    buffer.Seek(7);
    EXPECT_EQ(buffer.SetSize(0), ZELKRESULT_OK);
    EXPECT_EQ(buffer.GetPosition(), 0u);
    EXPECT_EQ(buffer.SetSize(3), ZELKRESULT_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buffer.GetData()), 3), std::string(3, '\0'));
    // Sizes the 32-bit position cannot address are refused, not cut to their low bits.
    EXPECT_EQ(buffer.SetSize(0x100000002ull), ZELKRESULT_NO_MEMORY);
    EXPECT_EQ(buffer.GetSize(), 3u);
}

TEST(ZelkDataBufferMemoryStatic, WriteBeyondTheBlockKeepsWhatFitted)
{
    uint8_t block[4] = {};
    ZelkDataBufferMemoryStatic buffer(block, sizeof block, false);
    EXPECT_EQ(buffer.Write("abcdef", 6), ZELKRESULT_NO_MEMORY);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(block), 4), "abcd");
    EXPECT_EQ(buffer.GetPosition(), 4u);
    EXPECT_EQ(buffer.SetSize(10), ZELKRESULT_ACCESS);
    EXPECT_EQ(buffer.GetSize(), 4u);

    buffer.Seek(1);
    char out[8] = {};
    EXPECT_EQ(buffer.Read(out, 8), ZELKRESULT_END_OF_DATA);
    EXPECT_EQ(std::string(out), "bcd");
    EXPECT_EQ(buffer.Seek(5), ZELKRESULT_END_OF_DATA);
    EXPECT_EQ(buffer.GetPosition(), 4u);
}

TEST(ZelkDataBufferMemoryStatic, CopyingAndAdoptingOwnTheirBlock)
{
    char original[] = "payload";
    ZelkDataBufferMemoryStatic copy(original, 7);
    original[0] = 'X';
    EXPECT_EQ(copy.GetPosition(), 0u);
    EXPECT_EQ(ReadAll(copy), "payload");

    uint8_t *block = new uint8_t[3]{'a', 'b', 'c'};
    ZelkDataBufferMemoryStatic adopted(block, 3, true);
    EXPECT_EQ(ReadAll(adopted), "abc");

    std::unique_ptr<ZelkDataBufferMemoryStatic> text = MakeDataBufferFromString(std::string("a\0b\xff", 4));
    EXPECT_EQ(text->GetSize(), 4u);
    EXPECT_EQ(ReadAll(*text), std::string("a\0b\xff", 4));
}

// File buffer ------------------------------------------------------------------------------------

struct AccessCase
{
    ZelkDataBufferFile::AccessMode mode;
    bool opensMissing;     // a missing file is created
    bool opensExisting;
    uint64_t sizeAfterOpen; // of the existing 5-byte file
    ZELKRESULT read;
    ZELKRESULT write;
    const char *contentAfterWrite;
};

class ZelkDataBufferFileAccess : public TempDirTest, public ::testing::WithParamInterface<AccessCase>
{
};

TEST_P(ZelkDataBufferFileAccess, ModeDecidesOpenReadAndWrite)
{
    const AccessCase &c = GetParam();
    {
        ZelkDataBufferFile missing(Path(L"missing"), c.mode);
        EXPECT_EQ(missing.IsOpen(), c.opensMissing);
        EXPECT_EQ(FileExists(Path(L"missing")), c.opensMissing);
        char byte;
        if (missing.IsOpen())
        {
            EXPECT_EQ(missing.Read(&byte, 1), c.read == ZELKRESULT_ACCESS ? ZELKRESULT_ACCESS : ZELKRESULT_IO);
        }
    }

    MakeFile(Path(L"existing"), "hello");
    {
        ZelkDataBufferFile file(Path(L"existing"), c.mode);
        ASSERT_EQ(file.IsOpen(), c.opensExisting);
        EXPECT_EQ(file.GetSize(), c.sizeAfterOpen);
        char out[2] = {};
        EXPECT_EQ(file.Read(out, 2), c.read);
        file.Seek(0);
        EXPECT_EQ(file.Write("HE", 2), c.write);
        // A count of zero passes once the mode allows the direction.
        EXPECT_EQ(file.Read(out, 0), c.read);
        EXPECT_EQ(file.Write(out, 0), c.write);
    }
    EXPECT_EQ(FileText(Path(L"existing")), c.contentAfterWrite);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ZelkDataBufferFileAccess,
    ::testing::Values(
        AccessCase{ZelkDataBufferFile::AccessRead, false, true, 5, ZELKRESULT_OK, ZELKRESULT_ACCESS, "hello"},
        AccessCase{ZelkDataBufferFile::AccessWrite, true, true, 0, ZELKRESULT_ACCESS, ZELKRESULT_OK, "HE"},
        AccessCase{ZelkDataBufferFile::AccessModify, true, true, 5, ZELKRESULT_ACCESS, ZELKRESULT_OK, "HEllo"},
        AccessCase{ZelkDataBufferFile::AccessReadWrite, false, true, 5, ZELKRESULT_OK, ZELKRESULT_OK, "HEllo"}));

using ZelkDataBufferFileTest = TempDirTest;

TEST_F(ZelkDataBufferFileTest, DirectoriesAreNotFiles)
{
    for (auto mode : {ZelkDataBufferFile::AccessRead, ZelkDataBufferFile::AccessReadWrite})
    {
        ZelkDataBufferFile file(m_dir, mode);
        EXPECT_FALSE(file.IsOpen());
    }
}

TEST_F(ZelkDataBufferFileTest, UnopenedFileRefusesEverything)
{
    ZelkDataBufferFile file(Path(L"no/such/dir/file"), ZelkDataBufferFile::AccessWrite);
    ASSERT_FALSE(file.IsOpen());
    char byte = 0;
    EXPECT_EQ(file.GetSize(), 0u);
    EXPECT_EQ(file.GetPosition(), 0u);
    EXPECT_EQ(file.Read(&byte, 1), ZELKRESULT_INVALID_STATE);
    EXPECT_EQ(file.Write(&byte, 1), ZELKRESULT_INVALID_STATE);
    EXPECT_EQ(file.Read(&byte, 0), ZELKRESULT_INVALID_STATE);
    EXPECT_EQ(file.Seek(0), ZELKRESULT_INVALID_STATE);
    EXPECT_EQ(file.SetSize(0), ZELKRESULT_INVALID_STATE);
    file.Flush();
}

TEST_F(ZelkDataBufferFileTest, UnknownModeOpensNothingAndSaysSo)
{
    MakeFile(Path(L"f"), "x");
    ::testing::internal::CaptureStdout();
    ZelkDataBufferFile file(Path(L"f"), static_cast<ZelkDataBufferFile::AccessMode>(7));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ZelkDataBufferFile> unknown access mode 7\n");
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(ZelkDataBufferFileTest, ReadWriteReadActsAtTheRightPositions)
{
    MakeFile(Path(L"rw"), "0123456789");
    {
        ZelkDataBufferFile file(Path(L"rw"), ZelkDataBufferFile::AccessReadWrite);
        char out[4] = {};
        ASSERT_EQ(file.Read(out, 3), ZELKRESULT_OK);
        EXPECT_EQ(std::string(out, 3), "012");
        ASSERT_EQ(file.Write("ab", 2), ZELKRESULT_OK);
        EXPECT_EQ(file.GetPosition(), 5u);
        ASSERT_EQ(file.Read(out, 2), ZELKRESULT_OK);
        EXPECT_EQ(std::string(out, 2), "56");
        ASSERT_EQ(file.Write("cdefgh", 6), ZELKRESULT_OK);
        EXPECT_EQ(file.GetSize(), 13u);
        ASSERT_EQ(file.Seek(4), ZELKRESULT_OK);
        ASSERT_EQ(file.Read(out, 4), ZELKRESULT_OK);
        EXPECT_EQ(std::string(out, 4), "b56c");
        // A short read is an I/O failure that still hands over the bytes it found.
        ASSERT_EQ(file.Seek(11), ZELKRESULT_OK);
        EXPECT_EQ(file.Read(out, 4), ZELKRESULT_IO);
        EXPECT_EQ(std::string(out, 2), "gh");
        EXPECT_EQ(file.GetPosition(), 13u);
    }
    EXPECT_EQ(FileText(Path(L"rw")), "012ab56cdefgh");
}

TEST_F(ZelkDataBufferFileTest, SetSizeAndGapsFillWithZeros)
{
    ZelkDataBufferFile file(Path(L"gap"), ZelkDataBufferFile::AccessWrite);
    ASSERT_EQ(file.Write("abcdef", 6), ZELKRESULT_OK);
    ASSERT_EQ(file.SetSize(3), ZELKRESULT_OK);
    EXPECT_EQ(file.GetPosition(), 3u);
    ASSERT_EQ(file.Seek(5), ZELKRESULT_OK);
    ASSERT_EQ(file.Write("Z", 1), ZELKRESULT_OK);
    ASSERT_EQ(file.SetSize(8), ZELKRESULT_OK);
    EXPECT_EQ(file.GetPosition(), 6u);
    EXPECT_EQ(file.GetSize(), 8u);
    ASSERT_EQ(file.Close(), ZELKRESULT_OK);
    EXPECT_EQ(FileText(Path(L"gap")), std::string("abc\0\0Z\0\0", 8));
}

TEST_F(ZelkDataBufferFileTest, FlushMakesWritesVisibleBeforeClose)
{
    ZelkDataBufferFile file(Path(L"flushed"), ZelkDataBufferFile::AccessModify);
    ASSERT_EQ(file.Write("durable", 7), ZELKRESULT_OK);
    file.Flush();
    EXPECT_EQ(FileText(Path(L"flushed")), "durable");
}

TEST_F(ZelkDataBufferFileTest, OffsetsBeyondFourGiB)
{
    const uint64_t far = (5ull << 30) + 3;
    {
        ZelkDataBufferFile file(Path(L"sparse"), ZelkDataBufferFile::AccessWrite);
        ASSERT_EQ(file.Seek(far), ZELKRESULT_OK);
        ASSERT_EQ(file.Write("tail", 4), ZELKRESULT_OK);
        EXPECT_EQ(file.GetSize(), far + 4);
    }
    uint64_t size = 0;
    ASSERT_EQ(GetFileSizeAt(Path(L"sparse"), size), ZELKRESULT_OK);
    EXPECT_EQ(size, far + 4);
    ZelkDataBufferFile file(Path(L"sparse"), ZelkDataBufferFile::AccessRead);
    EXPECT_EQ(file.GetSize(), far + 4);
    ASSERT_EQ(file.Seek(far + 1), ZELKRESULT_OK);
    char out[3] = {};
    ASSERT_EQ(file.Read(out, 3), ZELKRESULT_OK);
    EXPECT_EQ(std::string(out, 3), "ail");
    EXPECT_EQ(file.GetPosition(), far + 4);
}

TEST_F(ZelkDataBufferFileTest, PathsOutsideAsciiReachTheFile)
{
    const std::wstring dir = Path(L"D\u00fcsseldorf \u0444\u0430\u0439\u043b");
    ASSERT_TRUE(MakeDirectory(dir));
    MakeFile(JoinPath(dir, L"\u00e9t\u00e9.bin"), "summer");
    EXPECT_EQ(FileText(JoinPath(dir, L"\u00e9t\u00e9.bin")), "summer");
    // Backslashes count as separators, as everywhere else in the program's paths.
    std::wstring backslashed = JoinPath(dir, L"\u00e9t\u00e9.bin");
    NormalizeSeparators(backslashed, L'\\');
    EXPECT_EQ(FileText(backslashed), "summer");
}

// Copies -----------------------------------------------------------------------------------------

TEST(CopyData, ChunksFollowTheCount)
{
    struct Case
    {
        uint64_t count;
        std::vector<uint32_t> writes;
    };
    const Case cases[] = {
        {0, {}},
        {4096, {4096}},
        {8192, {4096, 4096}},
        {8193, {8193}},
        {300000, {131072, 131072, 37856}},
    };
    const std::string data = Pattern(300000);
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.count);
        ZelkDataBufferMemoryStatic source(data.data(), static_cast<uint32_t>(data.size()));
        RecordingBuffer destination;
        ASSERT_EQ(CopyData(destination, source, c.count), ZELKRESULT_OK);
        EXPECT_EQ(destination.writes, c.writes);
        EXPECT_EQ(destination.GetSize(), c.count);
        EXPECT_EQ(source.GetPosition(), c.count);
        // An empty block has no data pointer, which memcmp may not be given.
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<long>(c.count),
                               reinterpret_cast<const char *>(destination.GetData())));
    }
}

TEST(CopyData, StopsAtTheFirstFailureKeepingWhatMoved)
{
    const std::string data = Pattern(5000);
    {
        ZelkDataBufferMemoryStatic source(data.data(), 5000);
        RecordingBuffer destination;
        EXPECT_EQ(CopyData(destination, source, 6000), ZELKRESULT_END_OF_DATA);
        EXPECT_EQ(destination.writes, std::vector<uint32_t>{4096});
    }
    {
        ZelkDataBufferMemoryStatic source(data.data(), 5000);
        uint8_t block[100];
        ZelkDataBufferMemoryStatic destination(block, sizeof block, false);
        EXPECT_EQ(CopyData(destination, source, 5000), ZELKRESULT_NO_MEMORY);
        EXPECT_EQ(memcmp(block, data.data(), sizeof block), 0);
    }
}

TEST_F(ZelkDataBufferFileTest, CopyRemainingTakesTheRestOfAFile)
{
    const std::string data = Pattern(200000);
    MakeFile(Path(L"source"), data);
    ZelkDataBufferFile source(Path(L"source"), ZelkDataBufferFile::AccessRead);
    ASSERT_EQ(source.Seek(1000), ZELKRESULT_OK);
    {
        ZelkDataBufferFile destination(Path(L"copy"), ZelkDataBufferFile::AccessWrite);
        ASSERT_EQ(CopyRemaining(destination, source), ZELKRESULT_OK);
    }
    EXPECT_EQ(FileText(Path(L"copy")), data.substr(1000));
    EXPECT_EQ(CopyRemaining(*MakeDataBufferFromString(""), source), ZELKRESULT_OK);
}
