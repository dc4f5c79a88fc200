#include <gtest/gtest.h>

#include <cstring>

#include "AddressSpaceLimit.h"
#include "PackageFixtures.h"
#include "SyntheticStreams.h"
#include "patch/PackageArchive.h"

using namespace PackageFixtures;

namespace
{
// The framed block of a megabyte that does not compress, with its stream cut by cutBytes (a
// negative count) and its expanded length moved by expandedDelta.
std::string Reframed(int cutBytes, int expandedDelta)
{
    std::string plain(1 << 20, '\0');
    uint32_t seed = 7;
    for (char &byte : plain)
    {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    std::string block = RawArchive().Block(plain).Data().substr(4);
    block.resize(block.size() + cutBytes);
    uint32_t compressed = 0;
    uint32_t expanded = 0;
    std::memcpy(&compressed, block.data(), 4);
    std::memcpy(&expanded, block.data() + 4, 4);
    compressed += cutBytes;
    expanded += expandedDelta;
    std::memcpy(block.data(), &compressed, 4);
    std::memcpy(block.data() + 4, &expanded, 4);
    return block;
}

// A directory name of count levels, as the archive writes it.
std::wstring Levels(size_t count)
{
    std::wstring name;
    for (size_t i = 0; i < count; ++i)
        name += L"a\\";
    return name;
}

class PackageArchiveTest : public ::testing::Test
{
protected:
    // Unpacks raw archive bytes into a fresh "out" directory of the scratch directory.
    bool Unpack(const std::string &bytes)
    {
        WriteFile(Archive(), bytes);
        EXPECT_TRUE(MakeDirectory(Destination()));
        return UnpackPackageArchive(Archive(), Destination());
    }
    std::wstring Archive() const { return m_scratch / L"step.pak"; }
    std::wstring Destination() const { return m_scratch / L"out"; }

    ScratchDirectory m_scratch;
};
} // namespace

TEST_F(PackageArchiveTest, WrittenArchiveUnpacksToTheSameTree)
{
    const std::string binary("\x00\xA7\xFF\x01 launcher", 13);
    const std::wstring unicodeName = L".\\data\\bin\\\u00DCbersicht \u0416.txt";
    WriteFile(m_scratch / L"src/launcher", binary);
    WriteFile(m_scratch / L"src/empty", "");
    WriteFile(m_scratch / L"src/list", "bin\\KorvilUtil.exe\r\n0123\r\n\r\n");
    {
        PackageArchiveWriter writer(Archive());
        ASSERT_TRUE(writer.IsOpen());
        EXPECT_EQ(writer.AddDirectory(L".\\data"), ZELKRESULT_OK);
        EXPECT_EQ(writer.AddDirectory(L".\\data\\bin"), ZELKRESULT_OK);
        EXPECT_EQ(writer.AddFile(L".\\data\\bin\\Launcher.exe.diff", m_scratch / L"src/launcher"), ZELKRESULT_OK);
        EXPECT_EQ(writer.AddFile(unicodeName, m_scratch / L"src/empty"), ZELKRESULT_OK);
        EXPECT_EQ(writer.AddFile(L".\\addedFiles.txt", m_scratch / L"src/list"), ZELKRESULT_OK);
        EXPECT_EQ(writer.Close(), ZELKRESULT_OK);
    }
    ASSERT_TRUE(MakeDirectory(Destination()));
    ASSERT_TRUE(UnpackPackageArchive(Archive(), Destination()));

    const std::vector<std::wstring> expected = {L"addedFiles.txt", L"data/", L"data/bin/", L"data/bin/Launcher.exe.diff",
                                                L"data/bin/\u00DCbersicht \u0416.txt"};
    EXPECT_EQ(ListTree(Destination()), expected);
    EXPECT_EQ(ReadFile(Destination() + L"/data/bin/Launcher.exe.diff"), binary);
    EXPECT_EQ(ReadFile(Destination() + L"/addedFiles.txt"), "bin\\KorvilUtil.exe\r\n0123\r\n\r\n");
}

TEST_F(PackageArchiveTest, WriterRefusesNamesTheArchiveCannotCarry)
{
    WriteFile(m_scratch / L"src/file", "x");
    PackageArchiveWriter writer(Archive());
    ASSERT_TRUE(writer.IsOpen());
    EXPECT_EQ(writer.AddFile(L".\\data\\README", m_scratch / L"src/file"), ZELKRESULT_INVALID_ARGUMENT);
    EXPECT_EQ(writer.AddDirectory(L".\\data\\x.old"), ZELKRESULT_INVALID_ARGUMENT);
    EXPECT_EQ(writer.AddFile(L"..\\evil.txt", m_scratch / L"src/file"), ZELKRESULT_INVALID_ARGUMENT);
    EXPECT_EQ(writer.AddDirectory(Levels(257)), ZELKRESULT_INVALID_ARGUMENT);
    EXPECT_EQ(writer.AddFile(L".\\missing.txt", m_scratch / L"src/nothing"), ZELKRESULT_IO);
    EXPECT_EQ(writer.Close(), ZELKRESULT_OK);
    // None of the refused records reached the archive.
    EXPECT_EQ(ReadFile(Archive()), std::string("\x01\x00\x00\x00", 4));
}

TEST_F(PackageArchiveTest, OnlyVersionOneIsUnpacked)
{
    EXPECT_TRUE(Unpack(RawArchive(1).Data()));
    EXPECT_TRUE(ListTree(Destination()).empty());

    DeleteTree(Destination());
    const std::string content = RawArchive(2).Name(L".\\data").Name(L".\\a.txt").Block("text").Data();
    EXPECT_FALSE(Unpack(content));
    EXPECT_TRUE(ListTree(Destination()).empty());

    DeleteTree(Destination());
    EXPECT_FALSE(Unpack(std::string("\x01\x00", 2)));
    EXPECT_FALSE(UnpackPackageArchive(m_scratch / L"absent.pak", Destination()));
}

TEST(PackageArchiveNames, LastComponentWithoutExtensionIsADirectory)
{
    const struct
    {
        const wchar_t *name;
        bool directory;
    } cases[] = {
        {L".\\data", true},
        {L".\\data\\bin", true},
        {L".\\data\\bin\\Launcher.exe.diff", false},
        {L".\\addedFiles.txt", false},
        {L".\\data\\bin\\README", true},
        {L".\\data\\v1.2\\tools", true},
        {L"data/bin/", true},
        {L"data/bin/notes.", false},
    };
    for (const auto &test : cases)
        EXPECT_EQ(ArchiveNameDenotesDirectory(test.name), test.directory) << PathToNative(test.name);
}

TEST_F(PackageArchiveTest, NamesLeadingOutsideAreRefusedAndNothingIsWrittenThere)
{
    const std::wstring outside = m_scratch / L"evil.txt";
    const std::wstring absolute = outside;
    const std::wstring names[] = {L"..\\evil.txt", L".\\data\\..\\..\\evil.txt", L"data/../../evil.txt", absolute,
                                  L"C:\\evil.txt"};
    for (const std::wstring &name : names)
    {
        SCOPED_TRACE(PathToNative(name));
        ReportCapture capture;
        EXPECT_FALSE(Unpack(RawArchive().Name(L".\\data").Name(name).Block("pwned").Data()));
        EXPECT_FALSE(FileExists(outside));
        EXPECT_EQ(ListTree(Destination()), std::vector<std::wstring>{L"data/"});
        EXPECT_EQ(capture.TextsAt(MessageError).size(), 1u);
        DeleteTree(Destination());
    }
}

// A directory record whose name goes beyond the bounds of a name from outside is damage: the
// unpacking fails and makes nothing of it, in a child with little address space to spare. The
// first is the whole 432-byte archive of one record named "a\" 100,000 times.
TEST_F(PackageArchiveTest, NamesBeyondTheBoundsAreDamageAndMakeNothing)
{
    const struct
    {
        const char *what;
        std::wstring name;
        bool unpacked;
    } cases[] = {
        {"100,000 levels", Levels(100000), false},
        {"257 levels", Levels(257), false},
        {"256 levels", Levels(256), true},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(test.what);
        const std::string archive = RawArchive().Name(test.name).Data();
        EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit([&] { return Unpack(archive) == test.unpacked ? 0 : 1; })),
                    ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(ListTree(Destination()).size(), test.unpacked ? 256u : 0u);
        DeleteTree(Destination());
    }
}

TEST_F(PackageArchiveTest, FileNameWithoutExtensionIsTakenForADirectory)
{
    // The content block is then read as the next name and does not make one.
    EXPECT_FALSE(Unpack(RawArchive().Name(L".\\README").Block("some text that is no name").Data()));
    EXPECT_TRUE(IsDirectory(Destination() + L"/README"));
}

TEST_F(PackageArchiveTest, DamagedRecordsFailTheUnpacking)
{
    const struct
    {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"name count beyond its block", RawArchive().Name(L"a.txt", 1000).Block("x").Data()},
        {"huge name count", RawArchive().Name(L"a.txt", 0x7FFFFFFF).Block("x").Data()},
        {"name block too short for a count", RawArchive().Block("ab").Data()},
        {"file without content block", RawArchive().Name(L".\\a.txt").Data()},
        {"truncated content block", RawArchive().Name(L".\\a.txt").Bytes(std::string("\x20\0\0\0\x10\0\0\0xx", 10)).Data()},
        {"garbage instead of a block", RawArchive().Bytes("\x05\0\0\0\x05\0\0\0hello").Data()},
        // Content blocks whose stream disagrees with their frame, found only after the first
        // pieces of the file were written.
        {"content stream cut inside", RawArchive().Name(L".\\a.txt").Bytes(Reframed(-1000, 0)).Data()},
        {"content longer than its length", RawArchive().Name(L".\\a.txt").Bytes(Reframed(0, -1)).Data()},
        {"content shorter than its length", RawArchive().Name(L".\\a.txt").Bytes(Reframed(0, 1)).Data()},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(test.what);
        EXPECT_FALSE(Unpack(test.bytes));
        // No file that failed stays, whole or not.
        EXPECT_EQ(ListTree(Destination()), std::vector<std::wstring>());
        DeleteTree(Destination());
    }
}

TEST_F(PackageArchiveTest, FileInAMissingDirectoryFails)
{
    // Directories come only from directory records.
    EXPECT_FALSE(Unpack(RawArchive().Name(L".\\data\\bin\\a.txt").Block("x").Data()));
    EXPECT_TRUE(ListTree(Destination()).empty());
}

// A file's content is expanded piece by piece, so a file beyond what an archive once held in
// memory (1 GiB) unpacks with little address space to spare, byte for byte.
TEST_F(PackageArchiveTest, FilesBeyondOneGiBUnpackInConstantMemory)
{
    const std::string piece = synthetic::Piece(1 << 20);
    synthetic::RepeatedBlock content(piece, 1025, Z_DEFAULT_COMPRESSION);
    WriteFile(Archive(), RawArchive().Name(L".\\big.bin").Data());
    {
        ZelkDataBufferFile archive(Archive(), ZelkDataBufferFile::AccessModify);
        ASSERT_EQ(archive.Seek(archive.GetSize()), ZELKRESULT_OK);
        ASSERT_EQ(CopyRemaining(archive, content), ZELKRESULT_OK);
        ASSERT_EQ(archive.Close(), ZELKRESULT_OK);
    }
    ASSERT_TRUE(MakeDirectory(Destination()));
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(
                    [&] { return UnpackPackageArchive(Archive(), Destination()) ? 0 : 1; }, 64u << 20)),
                ::testing::ExitedWithCode(0), "");

    ZelkDataBufferFile unpacked(Destination() + L"/big.bin", ZelkDataBufferFile::AccessRead);
    ASSERT_TRUE(unpacked.IsOpen());
    EXPECT_EQ(unpacked.GetSize(), content.ExpandedLength());
    synthetic::PieceCheckingSink check(piece);
    ASSERT_EQ(CopyRemaining(check, unpacked), ZELKRESULT_OK);
    EXPECT_TRUE(check.Matched());
}

// The writer compresses a file piece by piece too: a file larger than the address space left to
// the process goes into an archive and comes out the same.
TEST_F(PackageArchiveTest, FilesLargerThanTheMemoryLeftRoundTrip)
{
    const std::string piece = synthetic::Piece(1 << 20);
    {
        ZelkDataBufferFile source(m_scratch / L"large.dat", ZelkDataBufferFile::AccessWrite);
        for (int i = 0; i < 48; ++i)
            ASSERT_EQ(source.Write(piece.data(), static_cast<uint32_t>(piece.size())), ZELKRESULT_OK);
        ASSERT_EQ(source.Close(), ZELKRESULT_OK);
    }
    ASSERT_TRUE(MakeDirectory(Destination()));
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(
                    [&] {
                        PackageArchiveWriter writer(Archive());
                        if (writer.AddFile(L".\\large.dat", m_scratch / L"large.dat") != ZELKRESULT_OK ||
                            writer.Close() != ZELKRESULT_OK)
                            return 1;
                        return UnpackPackageArchive(Archive(), Destination()) ? 0 : 2;
                    },
                    16u << 20)),
                ::testing::ExitedWithCode(0), "");
    ZelkDataBufferFile unpacked(Destination() + L"/large.dat", ZelkDataBufferFile::AccessRead);
    EXPECT_EQ(unpacked.GetSize(), 48u * piece.size());
    synthetic::PieceCheckingSink check(piece);
    ASSERT_EQ(CopyRemaining(check, unpacked), ZELKRESULT_OK);
    EXPECT_TRUE(check.Matched());
}
