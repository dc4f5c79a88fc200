#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestServers.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "patch/InternetTransfer.h"
#include "patch/DetachedSignature.h"
#include "patch/PatchList.h"
#include "patch/PelmoPatchTask.h"
#include "patch/SHA256.h"

using namespace testservers;

namespace
{
class RecordingTask : public PelmoPatchTask
{
public:
    void Report(MessageLevel level, const std::string &text) override { messages.emplace_back(level, NarrowToWide(text)); }
    void Report(MessageLevel level, const std::wstring &text) override { messages.emplace_back(level, text); }
    std::vector<std::pair<MessageLevel, std::wstring>> messages;
};

std::unique_ptr<ZelkDataBufferMemoryDynamic> BufferOf(const std::string &text)
{
    auto buffer = std::make_unique<ZelkDataBufferMemoryDynamic>();
    buffer->Write(text.data(), static_cast<uint32_t>(text.size()));
    buffer->Seek(0);
    return buffer;
}

// Lines ----------------------------------------------------------------------------------------

struct LineCase
{
    const char *name;
    std::string text;
    // Each call's line and whether it returned true (false: the end was reached).
    std::vector<std::pair<std::string, bool>> calls;
};

class ReadLineTest : public ::testing::TestWithParam<LineCase>
{
};

TEST_P(ReadLineTest, AcceptsEveryLineEnd)
{
    const LineCase &c = GetParam();
    auto buffer = BufferOf(c.text);
    for (const auto &[expected, more] : c.calls)
    {
        std::string line = "stale";
        EXPECT_EQ(ReadLine(*buffer, line), more) << expected;
        EXPECT_EQ(line, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ReadLineTest,
    ::testing::Values(
        LineCase{"AllFourForms", "a\r\nb\n\rc\nd\re", {{"a", true}, {"b", true}, {"c", true}, {"d", true}, {"e", false}}},
        LineCase{"EndAfterLineEnd", "x\n", {{"x", true}, {"", false}}},
        // LF, then LF CR, then CR LF: three empty lines.
        LineCase{"EmptyLines", "\n\n\r\r\n", {{"", true}, {"", true}, {"", true}, {"", false}}},
        LineCase{"NoData", "", {{"", false}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ParseKeyValuesTest, TrimsLowersAndUnquotes)
{
    auto block = BufferOf("  Source-Version :  \"38285\"  \n"
                          "TARGET-version:38290\n"
                          "\tkey: tab kept\n"
                          "quote: \"\n"
                          "empty: \"\"\n"
                          "url: http://host/a:b\n"
                          "not a pair\n"
                          "source-version: 38286\n"
                          "   \n"
                          "last:without end");
    std::map<std::string, std::string> values;
    EXPECT_FALSE(ParseKeyValues(*block, values));
    const std::map<std::string, std::string> expected{
        {"source-version", "38286"}, {"target-version", "38290"}, {"\tkey", "tab kept"}, {"quote", "\""},
        {"empty", ""},           {"url", "http://host/a:b"},  {"last", "without end"}};
    EXPECT_EQ(values, expected);
}

// Lists ----------------------------------------------------------------------------------------

struct Step
{
    std::string source;
    std::string target;
    std::wstring dataUrl;
};

struct ListCase
{
    const char *name;
    std::string text;
    std::wstring base;
    bool result;
    std::vector<Step> steps; // exactly the steps the list must yield
};

std::string Entry(const std::string &source, const std::string &target, const std::string &data,
                  const std::string &exe = "http://host/patcher.exe")
{
    return "source-version: " + source + "\ntarget-version: " + target + "\npatch-exe-url: " + exe +
           "\npatch-data-url: " + data + "\n";
}

class ParsePatchListTest : public ::testing::TestWithParam<ListCase>
{
};

TEST_P(ParsePatchListTest, YieldsTheValidSteps)
{
    const ListCase &c = GetParam();
    RecordingTask task;
    auto buffer = BufferOf(c.text);
    EXPECT_EQ(task.ParsePatchList(*buffer, c.base), c.result);
    for (const Step &step : c.steps)
    {
        const PatchListEntry *entry = task.FindPatchEntry(step.source);
        ASSERT_NE(entry, nullptr) << step.source;
        EXPECT_EQ(entry->targetVersion, step.target);
        EXPECT_EQ(entry->dataUrl, step.dataUrl);
        EXPECT_EQ(entry->exeUrl, L"http://host/patcher.exe");
    }
    for (const char *other : {"1", "2", "3", "4", "5", "6"})
    {
        bool listed = false;
        for (const Step &step : c.steps)
            listed = listed || step.source == other;
        if (!listed)
        {
            EXPECT_EQ(task.FindPatchEntry(other), nullptr) << other;
        }
    }
    EXPECT_TRUE(task.messages.empty());
}

const std::wstring kBase = L"http://patches.example/patches";

INSTANTIATE_TEST_SUITE_P(
    Lists, ParsePatchListTest,
    ::testing::Values(
        ListCase{"EntriesSplitByEmptyLines",
                 Entry("1", "2", "http://x/1.zip") + "\n\n" + Entry("2", "3", "http://x/2.zip"),
                 kBase,
                 true,
                 {{"1", "2", L"http://x/1.zip"}, {"2", "3", L"http://x/2.zip"}}},
        ListCase{"LineOfSpacesJoinsEntries",
                 Entry("1", "2", "http://x/1.zip") + "   \n" + Entry("2", "3", "http://x/2.zip"),
                 kBase,
                 true,
                 {{"2", "3", L"http://x/2.zip"}}},
        ListCase{"KeysInAnyCaseAndQuotedValues",
                 "SOURCE-VERSION: \"1\"\r\nTarget-Version: \"2\"\r\nPatch-Exe-Url: http://host/patcher.exe\r\n"
                 "patch-DATA-url: \"http://x/1.zip\"",
                 kBase,
                 true,
                 {{"1", "2", L"http://x/1.zip"}}},
        ListCase{"MissingKeyOrEmptyExeUrlOrBadLine",
                 "source-version: 1\npatch-exe-url: http://host/patcher.exe\npatch-data-url: http://x/1.zip\n\n" +
                     Entry("2", "3", "http://x/2.zip", "") + "\n" + Entry("3", "4", "http://x/3.zip") +
                     "no colon here\n\n" + Entry("4", "5", "http://x/4.zip"),
                 kBase,
                 true,
                 {{"4", "5", L"http://x/4.zip"}}},
        ListCase{"RelativeAndAbsoluteDataAddresses",
                 Entry("1", "2", "data/a.zip") + "\n" + Entry("2", "3", "/data/b.zip") + "\n" +
                     Entry("3", "4", "HTTP://Other.example/c.zip") + "\n" + Entry("4", "5", "https://secure.example/d.zip") +
                     "\n" + Entry("5", "6", "Ftp://files.example/e.zip") + "\n" + Entry("6", "7", "\\data\\f.zip"),
                 kBase,
                 true,
                 {{"1", "2", kBase + L"/data/a.zip"},
                  {"2", "3", kBase + L"/data/b.zip"},
                  {"3", "4", L"HTTP://Other.example/c.zip"},
                  {"4", "5", L"https://secure.example/d.zip"},
                  {"5", "6", L"Ftp://files.example/e.zip"},
                  {"6", "7", kBase + L"/data\\f.zip"}}},
        ListCase{"LaterEntryForTheSameVersionWins",
                 Entry("1", "2", "http://x/old.zip") + "\n" + Entry("1", "3", "http://x/new.zip"),
                 kBase,
                 true,
                 {{"1", "3", L"http://x/new.zip"}}},
        // What signed lists add changes none of the steps: older patchers read them as before.
        ListCase{"SignedListKeys",
                 "list-serial: 9\n\n" + Entry("1", "2", "a.zip") + "patch-data-size: 12\npatch-data-sha256: " +
                     std::string(64, 'a') + "\n",
                 kBase,
                 true,
                 {{"1", "2", kBase + L"/a.zip"}}},
        ListCase{"RelativeAddressWithoutBase", Entry("1", "2", "data/a.zip"), L"", false, {}},
        ListCase{"NoValidEntry", "hello\n\nsource-version: 1\n\n\n", kBase, false, {}},
        ListCase{"Empty", "", kBase, false, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// Signed lists ---------------------------------------------------------------------------------

const std::string kDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"; // of "abc"

struct IntegrityCase
{
    const char *name;
    std::string lines; // added to an entry from version 1
    bool hasDigest;
    std::optional<uint64_t> size;
    ArchiveVerdict listed;
};

class ArchiveIntegrityKeysTest : public ::testing::TestWithParam<IntegrityCase>
{
};

TEST_P(ArchiveIntegrityKeysTest, DigestAndSizeAreReadStrictly)
{
    const IntegrityCase &c = GetParam();
    RecordingTask task;
    auto buffer = BufferOf(Entry("1", "2", "a.zip") + c.lines);
    ASSERT_TRUE(task.ParsePatchList(*buffer, kBase));
    const PatchListEntry *entry = task.FindPatchEntry("1");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->dataSha256.has_value(), c.hasDigest);
    if (c.hasDigest)
    {
        EXPECT_EQ(DigestToHex(*entry->dataSha256), kDigest);
    }
    EXPECT_EQ(entry->dataSize, c.size);
    EXPECT_EQ(CheckListedArchive(*entry), c.listed);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ArchiveIntegrityKeysTest,
    ::testing::Values(
        IntegrityCase{"OlderList", "", false, std::nullopt, ArchiveVerdict::NoDigest},
        IntegrityCase{"DigestAndSize", "patch-data-sha256: " + kDigest + "\npatch-data-size: 3\n", true, 3,
                      ArchiveVerdict::Good},
        IntegrityCase{"DigestOnly", "Patch-Data-SHA256: \"" + kDigest + "\"\n", true, std::nullopt,
                      ArchiveVerdict::Good},
        IntegrityCase{"UpperCaseDigest", "patch-data-sha256: BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD\n",
                      true, std::nullopt, ArchiveVerdict::Good},
        IntegrityCase{"SizeOnly", "patch-data-size: 3\n", false, 3, ArchiveVerdict::NoDigest},
        IntegrityCase{"EmptyDigest", "patch-data-sha256:\n", false, std::nullopt, ArchiveVerdict::NoDigest},
        IntegrityCase{"ShortDigest", "patch-data-sha256: " + kDigest.substr(2) + "\n", false, std::nullopt,
                      ArchiveVerdict::Malformed},
        IntegrityCase{"DigestOfAnotherHash", "patch-data-sha256: 900150983cd24fb0d6963f7d28e17f72\n", false,
                      std::nullopt, ArchiveVerdict::Malformed},
        IntegrityCase{"NegativeSize", "patch-data-sha256: " + kDigest + "\npatch-data-size: -3\n", true,
                      std::nullopt, ArchiveVerdict::Malformed},
        IntegrityCase{"SizeWithUnit", "patch-data-sha256: " + kDigest + "\npatch-data-size: 3 bytes\n", true,
                      std::nullopt, ArchiveVerdict::Malformed},
        IntegrityCase{"SizeBeyond64Bits", "patch-data-sha256: " + kDigest + "\npatch-data-size: 18446744073709551616\n",
                      true, std::nullopt, ArchiveVerdict::Malformed}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ListSerial, IsReadFromAnyEntryOfTheList)
{
    struct Case
    {
        const char *name;
        std::string text;
        std::optional<uint64_t> serial;
        bool malformed;
    };
    const std::string step = Entry("1", "2", "a.zip");
    const Case cases[] = {
        {"none", step, std::nullopt, false},
        {"own entry", "list-serial: 42\n\n" + step, 42, false},
        {"inside a step", step + "List-Serial: \"42\"\n", 42, false},
        {"same twice", "list-serial: 42\n\n" + step + "list-serial: 42\n", 42, false},
        {"two that differ", "list-serial: 42\n\n" + step + "list-serial: 43\n", 42, true},
        {"not a number", "list-serial: 4 2\n\n" + step, std::nullopt, true},
        {"largest", "list-serial: 18446744073709551615\n\n" + step, 18446744073709551615ull, false},
        {"beyond 64 bits", "list-serial: 18446744073709551616\n\n" + step, std::nullopt, true},
    };
    RecordingTask task;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        auto buffer = BufferOf(c.text);
        ASSERT_TRUE(task.ParsePatchList(*buffer, kBase));
        EXPECT_EQ(task.ListSerial(), c.serial);
        EXPECT_EQ(task.ListSerialMalformed(), c.malformed);
    }
}

TEST(VerifyDownloadedArchive, OnlyTheListedBytesAreKept)
{
    TempDirectory dir;
    PatchListEntry listed;
    HexToDigest(kDigest, listed.dataSha256.emplace());
    listed.dataSize = 3;
    PatchListEntry digestOnly = listed;
    digestOnly.dataSize.reset();
    PatchListEntry malformed = listed;
    malformed.integrityMalformed = true;

    struct Case
    {
        const char *name;
        const char *content; // null: no file
        const PatchListEntry &entry;
        ArchiveVerdict verdict;
    };
    const Case cases[] = {
        {"the listed bytes", "abc", listed, ArchiveVerdict::Good},
        {"the listed bytes, no size listed", "abc", digestOnly, ArchiveVerdict::Good},
        {"same size, other bytes", "abd", listed, ArchiveVerdict::DigestDiffers},
        {"other bytes, no size listed", "abcd", digestOnly, ArchiveVerdict::DigestDiffers},
        {"longer", "abcd", listed, ArchiveVerdict::SizeDiffers},
        {"empty", "", listed, ArchiveVerdict::SizeDiffers},
        {"no digest listed", "abc", PatchListEntry(), ArchiveVerdict::NoDigest},
        {"malformed listing", "abc", malformed, ArchiveVerdict::Malformed},
        {"no file", nullptr, listed, ArchiveVerdict::Unreadable},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::wstring path = NarrowToWide(dir / "archive.zip");
        if (c.content)
            WriteFile(dir / "archive.zip", c.content);
        EXPECT_EQ(VerifyDownloadedArchive(path, c.entry), c.verdict);
        // Nothing the list does not vouch for stays to be opened.
        EXPECT_EQ(std::filesystem::exists(dir / "archive.zip"), c.verdict == ArchiveVerdict::Good);
        std::filesystem::remove(dir / "archive.zip");
    }
}

// Servers --------------------------------------------------------------------------------------

class FetchPatchListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ZelkTransferTimings timings;
        timings.retryPause = std::chrono::milliseconds(5);
        SetTransferTimings(timings);
        WriteFile(m_dir / "root/invalid/patches.txt", "source-version: 1\ntarget-version: 2\n");
        WriteFile(m_dir / "root/valid/patches.txt", Entry("1", "2", "steps/1_to_2.zip"));
        WriteFile(m_dir / "root/valid/patches.txt.sig", "signature line\n");
        WriteFile(m_dir / "root/huge/patches.txt.sig", std::string(kMaxSignatureFileSize + 1, 'A'));
        // Far more than any list of steps: what such a server sends is not a list.
        WriteFile(m_dir / "root/huge/patches.txt", Entry("1", "2", "steps/1_to_2.zip") + std::string(3 << 20, 'x'));
        ASSERT_TRUE(m_server.Start("http_server.py", {"--root", m_dir / "root"})) << m_server.Output();
        // A port that answered a moment ago and now refuses: a server that is down.
        TestServer gone;
        ASSERT_TRUE(gone.Start("http_server.py", {"--root", m_dir.Path()}));
        m_downPort = gone.Port();
    }
    void TearDown() override { SetTransferTimings(ZelkTransferTimings()); }

    std::wstring Base(int port, const char *directory) const
    {
        return NarrowToWide("http://127.0.0.1:" + std::to_string(port) + "/" + directory);
    }

    TempDirectory m_dir;
    TestServer m_server;
    int m_downPort = 0;
};

TEST_F(FetchPatchListTest, TakesTheFirstServerWithAUsableList)
{
    RecordingTask task;
    const std::wstring down = Base(m_downPort, "valid");
    const std::wstring valid = Base(m_server.Port(), "valid");
    ASSERT_TRUE(task.FetchPatchList({L"", down, Base(m_server.Port(), "invalid"), valid}));
    EXPECT_EQ(task.CurrentServer(), valid);
    const PatchListEntry *entry = task.FindPatchEntry("1");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->dataUrl, valid + L"/steps/1_to_2.zip");
    // Only the server that could not be reached is mentioned; the unusable list is passed silently.
    ASSERT_EQ(task.messages.size(), 1u);
    EXPECT_EQ(task.messages[0].first, MessageNormal);
    EXPECT_EQ(task.messages[0].second, L"Unable to download patch file: " + down + L"/patches.txt");
}

// A list is held in memory whole, so one far larger than a list can be is refused, not kept.
TEST_F(FetchPatchListTest, OversizedListIsRefused)
{
    RecordingTask task;
    const std::wstring huge = Base(m_server.Port(), "huge");
    EXPECT_FALSE(task.FetchPatchList({huge}));
    EXPECT_EQ(task.FindPatchEntry("1"), nullptr);
    ASSERT_EQ(task.messages.size(), 2u);
    EXPECT_EQ(task.messages[0].second, L"Unable to download patch file: " + huge + L"/patches.txt");
}

TEST_F(FetchPatchListTest, SignatureFileComesFromBesideTheList)
{
    std::string signature = "stale";
    ASSERT_EQ(DownloadListSignature(Base(m_server.Port(), "valid"), signature), ZELKRESULT_OK);
    EXPECT_EQ(signature, "signature line\n");

    // None there, none that a server could be down, and none larger than a signature file can be.
    signature = "stale";
    EXPECT_NE(DownloadListSignature(Base(m_server.Port(), "invalid"), signature), ZELKRESULT_OK);
    EXPECT_NE(DownloadListSignature(Base(m_downPort, "valid"), signature), ZELKRESULT_OK);
    EXPECT_NE(DownloadListSignature(Base(m_server.Port(), "huge"), signature), ZELKRESULT_OK);
    EXPECT_EQ(signature, "stale");
}

TEST_F(FetchPatchListTest, NoUsableServerFails)
{
    RecordingTask task;
    EXPECT_FALSE(task.FetchPatchList({Base(m_downPort, "valid"), Base(m_server.Port(), "invalid")}));
    EXPECT_EQ(task.CurrentServer(), L"");
    EXPECT_EQ(task.FindPatchEntry("1"), nullptr);
    ASSERT_EQ(task.messages.size(), 2u);
    EXPECT_EQ(task.messages[1].first, MessageNormal);
    EXPECT_EQ(task.messages[1].second, L"Unable to connect to any patch servers.");
}
} // namespace
