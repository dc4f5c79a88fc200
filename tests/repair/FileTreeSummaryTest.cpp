#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <utime.h>
#include <vector>

#include "LoopbackPeer.h"
#include "TestFiles.h"
#include "kernel/ByteOrder.h"
#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBufferTCP.h"
#include "repair/FileTreeSummary.h"
#include "repair/SegmentChecksum.h"

namespace
{
using testfiles::Pattern;

constexpr size_t kSegment = 4194304;

IPv4Endpoint OnLoopback(uint16_t port)
{
    return {kLoopbackAddress, port};
}

// Counts the diagnostic line printed before every checksum computation: the number of segments
// that were actually read.
class ChecksumReadCounter : public ZelkSystemLogObserver
{
public:
    ChecksumReadCounter() { ZelkAddSystemLogObserver(this); }
    ~ChecksumReadCounter() override { ZelkRemoveSystemLogObserver(this); }
    void OnSystemLog(const std::wstring &text) override
    {
        if (text.rfind(L" Checksum ", 0) == 0)
            ++reads;
    }
    int reads = 0;
};

void SetModifiedTime(const std::string &path, time_t seconds)
{
    const utimbuf times = {seconds, seconds};
    ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

std::vector<std::wstring> Keys(FileTreeSummary &summary)
{
    std::vector<std::wstring> keys;
    for (const FileTreeSummary::Entry &entry : summary.GetEntries())
        keys.push_back(entry.name);
    return keys;
}

uint32_t Checksum(const std::string &bytes)
{
    return SegmentChecksum(bytes.data(), bytes.size());
}

class SummaryTreeTest : public ::testing::Test
{
protected:
    std::wstring Root() const { return NativeToPath(m_dir.Path().string()); }
    std::string Native(const std::string &relative) const { return m_dir / relative; }
    void Write(const std::string &relative, const std::string &bytes, time_t modified = 1600000000)
    {
        testfiles::WriteFile(std::filesystem::path(Native(relative)), bytes);
        SetModifiedTime(Native(relative), modified);
    }
    uint32_t StoredChecksum(const std::wstring &key)
    {
        FileTreeSummary::Entry entry;
        EXPECT_TRUE(m_summary.FindEntry(key, entry)) << WideToNarrow(key);
        return entry.checksum;
    }

    testfiles::TempDirectory m_dir{"zelk-summary"};
    FileTreeSummary m_summary;
};

std::string UnitsLE(const std::wstring &text)
{
    return EncodeUtf16LE(text);
}
} // namespace

// Keys ---------------------------------------------------------------------------------------------

struct KeyCase
{
    std::wstring key;
    std::wstring path;
    int64_t index;
};

class SegmentKeyTest : public ::testing::TestWithParam<KeyCase>
{
};

TEST_P(SegmentKeyTest, SplitsIntoPathAndIndex)
{
    EXPECT_EQ(SegmentKeyPath(GetParam().key), GetParam().path);
    EXPECT_EQ(SegmentKeyIndex(GetParam().key), GetParam().index);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SegmentKeyTest,
    ::testing::Values(KeyCase{L"world\\maps\\a.bin#000", L"world\\maps\\a.bin", 0}, KeyCase{L"a.bin#007", L"a.bin", 7},
                      KeyCase{L"a.bin#1234", L"a.bin", 1234}, KeyCase{L"no-index", L"no-index", 0},
                      KeyCase{L"a.bin#12x", L"a.bin", 0}, KeyCase{L"a.bin#", L"a.bin", 0},
                      // A '#' in the path is part of the path; the index is what follows the last one.
                      KeyCase{L"notes#1.txt#002", L"notes#1.txt", 2},
                      KeyCase{L"/opt/Korvil #2/bin/a.exe#001", L"/opt/Korvil #2/bin/a.exe", 1},
                      KeyCase{L"dir#5\\file", L"dir", 0},
                      // An index whose segment would start beyond a 64-bit offset names nothing.
                      KeyCase{L"a.bin#99999999999999999999", L"a.bin", -1}));

TEST(SegmentKey, IndexHasAtLeastThreeDigits)
{
    EXPECT_EQ(MakeSegmentKey(L"world\\a.bin", 0), L"world\\a.bin#000");
    EXPECT_EQ(MakeSegmentKey(L"a.bin", 7), L"a.bin#007");
    EXPECT_EQ(MakeSegmentKey(L"a.bin", 1000), L"a.bin#1000");
}

struct WildcardCase
{
    std::wstring pattern;
    std::wstring text;
    bool matches;
};

class MatchWildcardTest : public ::testing::TestWithParam<WildcardCase>
{
};

TEST_P(MatchWildcardTest, MatchesTheWholeText)
{
    EXPECT_EQ(MatchWildcard(GetParam().pattern, GetParam().text), GetParam().matches)
        << WideToNarrow(GetParam().pattern) << " / " << WideToNarrow(GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, MatchWildcardTest,
    ::testing::Values(WildcardCase{L"*ab", L"aab", true}, WildcardCase{L"a*", L"a", true},
                      WildcardCase{L"", L"", true}, WildcardCase{L"", L"a", false}, WildcardCase{L"*", L"", true},
                      WildcardCase{L"unins000.exe", L"unins000.exe", true},
                      WildcardCase{L"unins000.exe", L"Unins000.exe", false},
                      WildcardCase{L"a**b", L"axxb", true}, WildcardCase{L"*a*b", L"xaxxab", true},
                      WildcardCase{L"*.pak", L"data\\x.pak.bak", false}, WildcardCase{L"a?c", L"abc", false},
                      WildcardCase{L"ab", L"abc", false}, WildcardCase{L"abc", L"ab", false},
                      WildcardCase{L"*a*a*a*b", L"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false}));

TEST(IsExcluded, TestsThePathOfTheKeyAgainstEveryPattern)
{
    const std::set<std::wstring> patterns = {L"repair.cks", L"logs\\*.txt"};
    EXPECT_TRUE(IsExcluded(L"repair.cks#000", patterns));
    EXPECT_TRUE(IsExcluded(L"logs\\today.txt#003", patterns));
    EXPECT_FALSE(IsExcluded(L"data\\repair.cks#000", patterns));
    EXPECT_FALSE(IsExcluded(L"repair.cks#000", {}));
}

// Reading segments -----------------------------------------------------------------------------------

TEST_F(SummaryTreeTest, ReadsTheSegmentTheKeyNames)
{
    const std::string bytes = Pattern(kSegment + 10, 'a');
    Write("big.bin", bytes);
    const std::wstring path = JoinPath(Root(), L"big.bin");
    const ConfinedDirectory root(Root());
    std::vector<uint8_t> data(kSegment);
    uint32_t length = 0;
    ASSERT_TRUE(ReadFileSegment(root, MakeSegmentKey(L"big.bin", 1), data.data(), kSegment, length));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data.data()), length), bytes.substr(kSegment));
    // The end of the file is an empty segment; beyond it there is none.
    Write("exact.bin", bytes.substr(0, kSegment));
    ASSERT_TRUE(ReadFileSegment(root, MakeSegmentKey(L"exact.bin", 1), data.data(), kSegment, length));
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(ReadFileSegment(root, MakeSegmentKey(L"big.bin", 2), data.data(), kSegment, length));
    EXPECT_FALSE(ReadFileSegment(root, MakeSegmentKey(L"missing.bin", 0), data.data(), kSegment, length));

    EXPECT_EQ(ComputeSegmentChecksum(MakeSegmentKey(path, 1)), Checksum(bytes.substr(kSegment)));
    EXPECT_EQ(ComputeSegmentChecksum(MakeSegmentKey(path, 2)), 0u);
}

// Scanning -----------------------------------------------------------------------------------------------

struct SizeCase
{
    size_t size;
    std::vector<std::wstring> keys;
};

class SegmentCountTest : public SummaryTreeTest, public ::testing::WithParamInterface<SizeCase>
{
};

TEST_P(SegmentCountTest, OneEntryPerSegmentWithTheSegmentsChecksum)
{
    const std::string bytes = Pattern(GetParam().size, 'x');
    Write("data/file.bin", bytes);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ASSERT_EQ(Keys(m_summary), GetParam().keys);
    for (size_t i = 0; i < GetParam().keys.size(); ++i)
        EXPECT_EQ(StoredChecksum(GetParam().keys[i]), Checksum(bytes.substr(i * kSegment, kSegment))) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, SegmentCountTest,
                         ::testing::Values(SizeCase{0, {}}, SizeCase{1, {L"data\\file.bin#000"}},
                                           SizeCase{kSegment, {L"data\\file.bin#000"}},
                                           SizeCase{kSegment + 1, {L"data\\file.bin#000", L"data\\file.bin#001"}},
                                           // Enough segments for the checksums to be shared out to threads.
                                           SizeCase{5 * kSegment + 7,
                                                    {L"data\\file.bin#000", L"data\\file.bin#001", L"data\\file.bin#002",
                                                     L"data\\file.bin#003", L"data\\file.bin#004",
                                                     L"data\\file.bin#005"}}));

TEST_F(SummaryTreeTest, SummarisesEveryFileInEveryDirectoryBelowTheRoot)
{
    Write("b.txt", "b");
    Write("a/deep/c.txt", "c");
    Write("a/d.txt", std::string(100, '\0'));
    Write("Korvil #2/e.txt", "e");
    Write("notes#1.txt", "n");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(Keys(m_summary), (std::vector<std::wstring>{L"Korvil #2\\e.txt#000", L"a\\d.txt#000",
                                                          L"a\\deep\\c.txt#000", L"b.txt#000", L"notes#1.txt#000"}));
    EXPECT_EQ(StoredChecksum(L"a\\d.txt#000"), 1u);
    EXPECT_EQ(StoredChecksum(L"notes#1.txt#000"), Checksum("n"));
    EXPECT_EQ(StoredChecksum(L"Korvil #2\\e.txt#000"), Checksum("e"));
    for (const FileTreeSummary::Entry &entry : m_summary.GetEntries())
    {
        EXPECT_EQ(entry.modifiedTime, 1600000000);
        EXPECT_TRUE(entry.seen);
    }
}

TEST_F(SummaryTreeTest, AnInstallationBelowADirectoryWithAHashIsSummarised)
{
    testfiles::TempDirectory parent("zelk-summary");
    const std::string root = (parent.Path() / "Korvil #2").string();
    testfiles::WriteFile(std::filesystem::path(root + "/bin/a.exe"), "a");
    ASSERT_EQ(m_summary.Scan(NativeToPath(root), {}), ZELKRESULT_OK);
    EXPECT_EQ(Keys(m_summary), std::vector<std::wstring>{L"bin\\a.exe#000"});
    EXPECT_EQ(StoredChecksum(L"bin\\a.exe#000"), Checksum("a"));
}

TEST_F(SummaryTreeTest, ALinkedDirectoryIsNotFollowed)
{
    Write("bin/a.exe", "a");
    std::filesystem::create_directory_symlink(m_dir.Path(), m_dir.Path() / "bin" / "loop");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(Keys(m_summary), std::vector<std::wstring>{L"bin\\a.exe#000"});
}

// A file whose link leads out of the installation is not read: its checksum would tell the server
// about a file that is not the installation's, one another account may have pointed at anything.
TEST_F(SummaryTreeTest, AFileLinkedOutOfTheTreeIsLeftOutAndOneLinkedInsideIsSummarised)
{
    testfiles::TempDirectory outside("zelk-summary-outside");
    testfiles::WriteFile(outside.Path() / "secret", "secret");
    Write("bin/a.exe", "a");
    std::filesystem::create_symlink("a.exe", m_dir.Path() / "bin" / "inside.exe");
    std::filesystem::create_symlink(outside.Path() / "secret", m_dir.Path() / "bin" / "outside.exe");
    std::filesystem::create_symlink("../../" + outside.Path().filename().string() + "/secret",
                                    m_dir.Path() / "bin" / "relative.exe");
    ChecksumReadCounter counter;
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(Keys(m_summary), (std::vector<std::wstring>{L"bin\\a.exe#000", L"bin\\inside.exe#000"}));
    EXPECT_EQ(StoredChecksum(L"bin\\inside.exe#000"), Checksum("a"));
    EXPECT_EQ(counter.reads, 2);
}

TEST_F(SummaryTreeTest, AFileChangedWithItsTimeKeptIsNotReadAgain)
{
    Write("a.bin", "first content", 1600000000);
    Write("b.bin", "other", 1600000000);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    const uint32_t stored = StoredChecksum(L"a.bin#000");
    ASSERT_EQ(stored, Checksum("first content"));

    Write("a.bin", "other content", 1600000000);
    ChecksumReadCounter counter;
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(counter.reads, 0);
    EXPECT_EQ(StoredChecksum(L"a.bin#000"), stored);

    SetModifiedTime(Native("a.bin"), 1600000001);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(counter.reads, 1);
    EXPECT_EQ(StoredChecksum(L"a.bin#000"), Checksum("other content"));
}

// A file whose time is the current second may change again within it without its time moving: a
// later scan must read it rather than trust the time, and a file that has kept its time past its
// second is trusted again.
TEST_F(SummaryTreeTest, AFileSummarisedWithinItsOwnSecondIsReadAgain)
{
    time_t now = 0;
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        now = std::time(nullptr);
        Write("a.bin", "first content", now);
        ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
        if (std::time(nullptr) == now)
            break; // the scan ran within the file's second, as the case needs
    }
    ASSERT_EQ(StoredChecksum(L"a.bin#000"), Checksum("first content"));

    Write("a.bin", "other content", now);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(StoredChecksum(L"a.bin#000"), Checksum("other content"));

    SetModifiedTime(Native("a.bin"), now - 10);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ChecksumReadCounter counter;
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(counter.reads, 0);
}

TEST_F(SummaryTreeTest, AnExcludedFileLeavesTheSummary)
{
    Write("repair.cks", "summary");
    Write("unins000.exe", "uninstaller");
    Write("logs/today.txt", "log");
    Write("bin/Korvil.exe", "k");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ASSERT_EQ(m_summary.GetEntryCount(), 4u);
    // Patterns are relative paths with either separator.
    ASSERT_EQ(m_summary.Scan(Root(), {L"repair.cks", L"unins000.exe", L"logs/*.txt"}), ZELKRESULT_OK);
    EXPECT_EQ(Keys(m_summary), std::vector<std::wstring>{L"bin\\Korvil.exe#000"});
}

TEST_F(SummaryTreeTest, AFileThatShrankLosesItsLaterSegments)
{
    Write("a.bin", Pattern(2 * kSegment + 5, 'q'), 1600000000);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ASSERT_EQ(m_summary.GetEntryCount(), 3u);
    Write("a.bin", "short", 1600000100);
    Write("gone.bin", "x");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    std::filesystem::remove(Native("gone.bin"));
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(Keys(m_summary), std::vector<std::wstring>{L"a.bin#000"});
    EXPECT_EQ(StoredChecksum(L"a.bin#000"), Checksum("short"));
}

// Registering written segments -------------------------------------------------------------------------

TEST_F(SummaryTreeTest, AWrittenSegmentKeepsTheOtherSegmentsOfItsFileCurrent)
{
    Write("a.bin", Pattern(2 * kSegment + 5, 'w'), 1600000000);
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    const uint32_t first = StoredChecksum(L"a.bin#000");
    // A repaired segment lands and the file's time moves on.
    SetModifiedTime(Native("a.bin"), 1600000500);
    const std::wstring diskKey = MakeSegmentKey(JoinPath(Root(), L"a.bin"), 1);
    ASSERT_TRUE(m_summary.RegisterSegment(diskKey, L"a.bin#001", 0x12345678u));
    for (const FileTreeSummary::Entry &entry : m_summary.GetEntries())
        EXPECT_EQ(entry.modifiedTime, 1600000500) << WideToNarrow(entry.name);
    EXPECT_EQ(StoredChecksum(L"a.bin#001"), 0x12345678u);

    ChecksumReadCounter counter;
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    EXPECT_EQ(counter.reads, 0);
    EXPECT_EQ(StoredChecksum(L"a.bin#000"), first);

    m_summary.RemoveSegmentsAfter(L"a.bin#000");
    EXPECT_EQ(Keys(m_summary), std::vector<std::wstring>{L"a.bin#000"});
    m_summary.RemoveSegment(L"a.bin#000");
    EXPECT_EQ(m_summary.GetEntryCount(), 0u);
}

TEST_F(SummaryTreeTest, AMissingFileRegistersNothing)
{
    const std::wstring path = JoinPath(Root(), L"missing.bin");
    EXPECT_FALSE(m_summary.RegisterFile(path, L"missing.bin"));
    EXPECT_FALSE(m_summary.RegisterSegment(MakeSegmentKey(path, 0), L"missing.bin#000", 0));
    EXPECT_EQ(m_summary.GetEntryCount(), 0u);
}

// The summary format -------------------------------------------------------------------------------------

// Three entries whose keys sort differently by UTF-16 code units than by code points: U+1F600 is
// the pair D83D DE00, which comes before U+FF21.
TEST_F(SummaryTreeTest, SaveWritesTheSummaryFormatInUtf16KeyOrder)
{
    // A time long past, with distinct bytes to see their order by.
    Write("f", "x", 0x0005040302LL);
    const std::wstring diskKey = MakeSegmentKey(JoinPath(Root(), L"f"), 0);
    ASSERT_TRUE(m_summary.RegisterSegment(diskKey, L"\uFF21#000", 0x89A1897Fu));
    ASSERT_TRUE(m_summary.RegisterSegment(diskKey, L"\U0001F600#000", 0x2C17398Cu));
    ASSERT_TRUE(m_summary.RegisterSegment(diskKey, L"a#001", 1u));

    ZelkDataBufferMemoryDynamic saved;
    ASSERT_EQ(m_summary.Save(saved), ZELKRESULT_OK);
    const std::string expected = std::string("0stf"
                                             "\x03\x00\x00\x00"
                                             "\x05\x00\x00\x00"
                                             "a\0#\0"
                                             "0\0"
                                             "0\0"
                                             "1\0"
                                             "\x01\x00\x00\x00"
                                             "\x02\x03\x04\x05\x00\x00\x00\x00"
                                             "\x06\x00\x00\x00"
                                             "\x3D\xD8\x00\xDE#\0"
                                             "0\0"
                                             "0\0"
                                             "0\0"
                                             "\x8C\x39\x17\x2C"
                                             "\x02\x03\x04\x05\x00\x00\x00\x00"
                                             "\x05\x00\x00\x00"
                                             "\x21\xFF#\0"
                                             "0\0"
                                             "0\0"
                                             "0\0"
                                             "\x7F\x89\xA1\x89"
                                             "\x02\x03\x04\x05\x00\x00\x00\x00",
                                             8 + 3 * 16 + 2 * 5 + 2 * 6 + 2 * 5);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(saved.GetData()), saved.GetSize()), expected);
}

TEST_F(SummaryTreeTest, SaveThenLoadGivesTheSameEntriesNotSeen)
{
    Write("bin/Korvil.exe", Pattern(kSegment + 3, 'k'));
    Write("\xC3\xBC" "ber/\xF0\x9F\x98\x80.txt", "emoji");
    Write("empty.bin", "");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ASSERT_EQ(m_summary.GetEntryCount(), 3u);
    const std::wstring file = JoinPath(Root(), L"repair.cks");
    ASSERT_EQ(SaveSummaryFile(m_summary, file), ZELKRESULT_OK);
    // Nothing of the replacement is left beside the file.
    int summaryFiles = 0;
    for (const auto &entry : std::filesystem::directory_iterator(m_dir.Path()))
        summaryFiles += entry.path().filename().string().rfind("repair.cks", 0) == 0;
    EXPECT_EQ(summaryFiles, 1);

    FileTreeSummary loaded;
    ASSERT_EQ(LoadSummaryFile(loaded, file), ZELKRESULT_OK);
    const std::vector<FileTreeSummary::Entry> before = m_summary.GetEntries();
    const std::vector<FileTreeSummary::Entry> after = loaded.GetEntries();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i)
    {
        EXPECT_EQ(after[i].name, before[i].name);
        EXPECT_EQ(after[i].checksum, before[i].checksum);
        EXPECT_EQ(after[i].modifiedTime, before[i].modifiedTime);
        EXPECT_FALSE(after[i].seen);
    }
    EXPECT_EQ(LoadSummaryFile(loaded, JoinPath(Root(), L"none.cks")), ZELKRESULT_IO);
    EXPECT_EQ(loaded.GetEntryCount(), before.size());
}

// What a repair client sends: the bytes of the summary file, over a connection to a plain reader.
TEST_F(SummaryTreeTest, SaveSendsTheSummaryFileBytesOverAConnection)
{
    Write("bin/Korvil.exe", Pattern(kSegment + 3, 'k'));
    Write("data/a.pak", "a");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ZelkDataBufferMemoryDynamic file;
    ASSERT_EQ(m_summary.Save(file), ZELKRESULT_OK);

    std::promise<std::string> arrived;
    loopback::Peer reader([&](int fd) { arrived.set_value(loopback::ReceiveAll(fd)); });
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(OnLoopback(reader.Port())), ZELKRESULT_OK);
    ASSERT_EQ(m_summary.Save(connection), ZELKRESULT_OK);
    connection.Disconnect(false);
    EXPECT_EQ(arrived.get_future().get(), std::string(reinterpret_cast<const char *>(file.GetData()), file.GetSize()));
}

TEST_F(SummaryTreeTest, AWrongMagicEmptiesTheTable)
{
    Write("a.bin", "a");
    ASSERT_EQ(m_summary.Scan(Root(), {}), ZELKRESULT_OK);
    ZelkDataBufferMemoryDynamic saved;
    ASSERT_EQ(m_summary.Save(saved), ZELKRESULT_OK);
    std::string bytes(reinterpret_cast<const char *>(saved.GetData()), saved.GetSize());
    bytes[0] = '1';
    EXPECT_EQ(m_summary.Load(*MakeDataBufferFromString(bytes)), ZELKRESULT_BAD_FORMAT);
    EXPECT_EQ(m_summary.GetEntryCount(), 0u);
    EXPECT_EQ(m_summary.Load(*MakeDataBufferFromString("0s")), ZELKRESULT_END_OF_DATA);
}

namespace
{
std::string Uint32LE(uint32_t value)
{
    std::string bytes;
    LittleEndian::Append32(bytes, value);
    return bytes;
}

std::string OneEntry()
{
    return Uint32LE(3) + UnitsLE(L"a#0") + Uint32LE(7) + std::string(8, '\0');
}

uint64_t AddressSpaceInUse()
{
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    return pages * 4096;
}

// Returns 0 when every damaged summary ends with its expected result, else the case number. Runs
// with an address space too small for what the claims would need if they were believed.
int LoadDamagedSummariesUnderAddressLimit()
{
    const rlim_t limit = AddressSpaceInUse() + (64u << 20);
    const rlimit cap = {limit, limit};
    if (setrlimit(RLIMIT_AS, &cap) != 0)
        return 100;
    struct Claim
    {
        std::string bytes;
        ZELKRESULT expected;
        size_t entriesKept;
    };
    const Claim claims[] = {
        // 50 million entries claimed, one present: the entry read stays.
        {"0stf" + Uint32LE(kMaxSummaryEntries) + OneEntry(), ZELKRESULT_END_OF_DATA, 1},
        {"0stf" + Uint32LE(kMaxSummaryEntries + 1) + OneEntry(), ZELKRESULT_BAD_FORMAT, 0},
        {"0stf" + Uint32LE(0xFFFFFFFFu) + OneEntry(), ZELKRESULT_BAD_FORMAT, 0},
        // A name of the longest allowed length, of which ten bytes arrive.
        {"0stf" + Uint32LE(2) + OneEntry() + Uint32LE(kMaxSummaryNameLength) + std::string(10, 'n'),
         ZELKRESULT_END_OF_DATA, 1},
        {"0stf" + Uint32LE(1) + Uint32LE(kMaxSummaryNameLength + 1) + std::string(10, 'n'), ZELKRESULT_BAD_FORMAT, 0},
        {"0stf" + Uint32LE(1) + Uint32LE(0xFFFFFFFFu), ZELKRESULT_BAD_FORMAT, 0},
        // The fields after the name cut short.
        {"0stf" + Uint32LE(1) + OneEntry().substr(0, 15), ZELKRESULT_END_OF_DATA, 0},
        {"0stf" + Uint32LE(1), ZELKRESULT_END_OF_DATA, 0},
    };
    for (size_t i = 0; i < std::size(claims); ++i)
    {
        FileTreeSummary summary;
        if (summary.Load(*MakeDataBufferFromString(claims[i].bytes)) != claims[i].expected ||
            summary.GetEntryCount() != claims[i].entriesKept)
            return static_cast<int>(i + 1);
    }
    return 0;
}
} // namespace

// Counts and lengths come from a file or a connection; believing them before the data arrives
// would let a few bytes claim gigabytes.
TEST(FileTreeSummaryDeathTest, ACountOrNameRunningPastItsDataEndsWithoutAllocatingForIt)
{
    EXPECT_EXIT(std::_Exit(LoadDamagedSummariesUnderAddressLimit()), ::testing::ExitedWithCode(0), "");
}
