// Segment records through a task's whole cycle (receive, expand, write) against real files in a
// temporary installation, with the records coming from a byte stream as the server sends them.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AddressSpaceLimit.h"
#include "ManifestFixtures.h"
#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"
#include "repair/SegmentChecksum.h"
#include "repair/ZelkAgentClientTask.h"

namespace
{
using testfiles::Pattern;

namespace fs = std::filesystem;
constexpr size_t kSegment = 4194304;
constexpr uint32_t kChecksum = 0x1234567u;

std::string Record(bool compressed, const std::wstring &name, uint32_t checksum, const std::string &payload)
{
    RepairRecordHeader header;
    header.compressed = compressed;
    header.name = name;
    header.checksum = checksum;
    header.payloadLength = static_cast<uint32_t>(payload.size());
    return EncodeRepairRecordHeader(header) + payload;
}

std::string Compressed(const std::string &bytes)
{
    auto source = MakeDataBufferFromString(bytes);
    ZelkDataBufferMemoryDynamic block;
    EXPECT_EQ(ZelkUtil::CompressData(block, *source), ZELKRESULT_OK);
    return std::string(reinterpret_cast<const char *>(block.GetData()), block.GetSize());
}

// A raw header whose fields are given as they stand on the wire, lengths included.
std::string RawHeader(uint8_t flag, uint32_t nameLength, const std::string &name, uint32_t checksum,
                      uint32_t payloadLength)
{
    std::string bytes(1, static_cast<char>(flag));
    for (uint32_t value : {nameLength})
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>(value >> shift));
    bytes += name;
    for (uint32_t value : {checksum, payloadLength})
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>(value >> shift));
    return bytes;
}

class TestOwner : public ZelkAgentClientTask::Owner
{
public:
    TestOwner(const std::wstring &root, const std::string &wire)
        : m_root(root), m_connection(MakeDataBufferFromString(wire))
    {
    }
    const std::wstring &GetRoot() const override { return m_root; }
    FileTreeSummary &GetSummary() override { return summary; }
    ZelkDataBuffer &GetConnection() override { return *m_connection; }
    void CountReceived() override { ++received; }

    FileTreeSummary summary;
    int received = 0;

private:
    std::wstring m_root;
    std::unique_ptr<ZelkDataBufferMemoryStatic> m_connection;
};

// Bytes that copies share. The test framework copies every case several times whenever the
// program starts, for each test it runs alone; shared, the cases' files of 10 MiB cost a start
// milliseconds instead of seconds (and many times that under the sanitizers).
class Bytes
{
public:
    Bytes(std::string bytes) : m_bytes(std::make_shared<const std::string>(std::move(bytes))) {}
    const std::string &operator*() const { return *m_bytes; }

private:
    std::shared_ptr<const std::string> m_bytes;
};

struct RecordCase
{
    const char *what;
    // Files of the installation before the record: name and content.
    std::vector<std::pair<std::string, Bytes>> files;
    Bytes wire;
    bool received;
    bool written;
    // Files afterwards: name and content, nullopt for a file that must not exist.
    std::vector<std::pair<std::string, std::optional<Bytes>>> expected;
    // Summary keys afterwards, each with whether it must be there.
    std::vector<std::pair<std::wstring, bool>> keys;
};

class RecordTest : public testing::TestWithParam<RecordCase>
{
};

TEST_P(RecordTest, RecordLeavesTheInstallationAsItSays)
{
    const RecordCase &c = GetParam();
    testfiles::TempDirectory temp("zelk-record");
    const fs::path install = temp.Path() / "install";
    fs::create_directories(install);
    for (const auto &[name, content] : c.files)
        testfiles::WriteFile(install / name, *content);
    TestOwner owner(NativeToPath(install.string()), *c.wire);
    owner.summary.Scan(owner.GetRoot(), {});

    ZelkAgentClientTask task;
    ASSERT_EQ(ZelkAgentClientTask::ReceiveFile(&owner, &task), c.received);
    EXPECT_EQ(owner.received, c.received ? 1 : 0);
    EXPECT_EQ(task.IsFree(), !c.received);
    const bool begun = ZelkAgentClientTask::WriteFileBegin(&task);
    const bool written = ZelkAgentClientTask::WriteFileEnd(&task);
    EXPECT_EQ(begun && written && c.received, c.written);
    EXPECT_TRUE(task.IsFree());

    for (const auto &[name, content] : c.expected)
    {
        if (!content)
        {
            EXPECT_FALSE(fs::exists(install / name)) << name;
            continue;
        }
        const std::string actual = testfiles::ReadFile(install / name);
        EXPECT_EQ(actual.size(), (**content).size()) << name;
        EXPECT_TRUE(actual == **content) << name;
    }
    for (const auto &[key, present] : c.keys)
    {
        FileTreeSummary::Entry entry;
        EXPECT_EQ(owner.summary.FindEntry(key, entry), present) << testing::PrintToString(key);
    }
    // Nothing appears beside the installation, whatever the record named.
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
}

const std::string kThree = "abc";
const std::string kTen = Pattern(10 * 1024 * 1024, 'k');
const std::string kHundred = Pattern(100, 'h');
const std::string kThousand = Pattern(1000, 't');
const std::string kFiveThousand = Pattern(5000, 'f');

INSTANTIATE_TEST_SUITE_P(
    Records, RecordTest,
    testing::Values(
        RecordCase{"raw_past_the_end_zero_fills",
                   {{"a.bin", kThree}},
                   Record(false, L"a.bin#002", kChecksum, kHundred),
                   true,
                   true,
                   {{"a.bin", kThree + std::string(2 * kSegment - 3, '\0') + kHundred}},
                   {{L"a.bin#002", true}}},
        RecordCase{"short_first_segment_cuts_the_file",
                   {{"big.bin", kTen}},
                   Record(false, L"big.bin#000", kChecksum, kThousand),
                   true,
                   true,
                   {{"big.bin", kThousand}},
                   {{L"big.bin#000", true}, {L"big.bin#001", false}, {L"big.bin#002", false}}},
        RecordCase{"checksum_0_at_index_0_deletes",
                   {{"sub/gone.bin", kTen}},
                   Record(false, L"sub\\gone.bin#000", 0, ""),
                   true,
                   true,
                   {{"sub/gone.bin", std::nullopt}},
                   {{L"sub\\gone.bin#000", false}}},
        RecordCase{"checksum_0_at_index_1_cuts",
                   {{"big.bin", kTen}},
                   Record(false, L"big.bin#001", 0, ""),
                   true,
                   true,
                   {{"big.bin", kTen.substr(0, kSegment)}},
                   {{L"big.bin#000", true}, {L"big.bin#001", false}, {L"big.bin#002", false}}},
        RecordCase{"checksum_0_compressed_is_refused",
                   {{"big.bin", kTen}},
                   RawHeader(1, 11, std::string("b\0i\0g\0.\0b\0i\0n\0#\0" "0\0" "0\0" "1\0", 22), 0, 0),
                   false,
                   false,
                   {{"big.bin", kTen}},
                   {{L"big.bin#001", true}}},
        RecordCase{"compressed_expands_at_the_segment_start",
                   {},
                   Record(true, L"new\\dir\\c.bin#000", kChecksum, Compressed(kFiveThousand)),
                   true,
                   true,
                   {{"new/dir/c.bin", kFiveThousand}},
                   {{L"new\\dir\\c.bin#000", true}}},
        RecordCase{"empty_raw_record_empties_the_file",
                   {{"e.txt", kThree}},
                   Record(false, L"e.txt#000", 1, ""),
                   true,
                   true,
                   {{"e.txt", std::string()}},
                   {{L"e.txt#000", true}}},
        RecordCase{"connection_drops_in_the_payload",
                   {{"big.bin", kTen}},
                   Record(false, L"big.bin#000", kChecksum, kThousand).substr(0, 500),
                   false,
                   false,
                   {{"big.bin", kTen}},
                   {{L"big.bin#000", true}}},
        RecordCase{"compressed_block_cut_short",
                   {},
                   Record(true, L"c.bin#000", kChecksum, Compressed(kFiveThousand)).substr(0, 40),
                   false,
                   false,
                   {{"c.bin", std::nullopt}},
                   {}},
        RecordCase{"compressed_block_beyond_a_segment",
                   {},
                   Record(true, L"c.bin#000", kChecksum, Compressed(std::string(kSegment + 1, 'z'))),
                   false,
                   false,
                   {{"c.bin", std::nullopt}},
                   {}},
        RecordCase{"broken_compressed_block",
                   {{"c.bin", kThree}},
                   Record(true, L"c.bin#000", kChecksum, std::string("\x08\0\0\0\x10\0\0\0garbage!", 16)),
                   true,
                   false,
                   {{"c.bin", kThree}},
                   {}},
        RecordCase{"parent_component_is_refused",
                   {},
                   Record(false, L"..\\outside.bin#000", kChecksum, kHundred),
                   false,
                   false,
                   {{"../outside.bin", std::nullopt}},
                   {}},
        RecordCase{"absolute_name_is_refused",
                   {},
                   Record(false, L"\\tmp\\outside.bin#000", kChecksum, kHundred),
                   false,
                   false,
                   {},
                   {}},
        RecordCase{"name_length_2_31_is_refused",
                   {},
                   RawHeader(0, 0x80000000u, "", kChecksum, 1),
                   false,
                   false,
                   {},
                   {}},
        RecordCase{"payload_length_2_31_is_refused",
                   {},
                   RawHeader(0, 5, std::string("a\0#\0" "0\0" "0\0" "0\0", 10), kChecksum, 0x80000000u) + "x",
                   false,
                   false,
                   {{"a", std::nullopt}},
                   {}}),
    [](const testing::TestParamInfo<RecordCase> &info) { return std::string(info.param.what); });

// Claimed lengths never size an allocation: with little address space to spare the refusals
// still come as refusals, not as a failed allocation.
TEST(RecordBoundsTest, ClaimedLengthsAllocateNothing)
{
    testfiles::TempDirectory temp("zelk-record");
    const std::wstring root = temp.WidePath();
    auto body = [&root] {
        for (const std::string &wire :
             {RawHeader(0, 0x80000000u, "", kChecksum, 1),
              RawHeader(0, 5, std::string("a\0#\0" "0\0" "0\0" "0\0", 10), kChecksum, 0x80000000u),
              RawHeader(1, 5, std::string("a\0#\0" "0\0" "0\0" "0\0", 10), kChecksum, 0xFFFFFFFFu)})
        {
            TestOwner owner(root, wire);
            ZelkAgentClientTask task;
            if (ZelkAgentClientTask::ReceiveFile(&owner, &task))
                return 1;
        }
        return 0;
    };
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit(body, 64u << 20)), testing::ExitedWithCode(0), "");
}

// Two records back to back through one task: the second is received only once the first is done,
// and a task that is still busy refuses another record.
TEST(RecordSequenceTest, TaskIsReusedAndRefusesWhileBusy)
{
    testfiles::TempDirectory temp("zelk-record");
    const std::string wire = Record(false, L"x.bin#000", kChecksum, kHundred) +
                             Record(true, L"x.bin#001", kChecksum + 1, Compressed(kFiveThousand));
    TestOwner owner(temp.WidePath(), wire);
    ZelkAgentClientTask task;
    ASSERT_TRUE(ZelkAgentClientTask::ReceiveFile(&owner, &task));
    EXPECT_FALSE(ZelkAgentClientTask::ReceiveFile(&owner, &task));
    ASSERT_TRUE(ZelkAgentClientTask::WriteFileEnd(&task));
    ASSERT_TRUE(ZelkAgentClientTask::ReceiveFile(&owner, &task));
    ASSERT_TRUE(ZelkAgentClientTask::WriteFileEnd(&task));
    EXPECT_EQ(owner.received, 2);
    EXPECT_TRUE(testfiles::ReadFile(temp.Path() / "x.bin") ==
                kHundred + std::string(kSegment - 100, '\0') + kFiveThousand);
    FileTreeSummary::Entry entry;
    ASSERT_TRUE(owner.summary.FindEntry(L"x.bin#001", entry));
    EXPECT_EQ(entry.checksum, kChecksum + 1);
}

// A repair server whose records are checked against a manifest: a record is written only when the
// manifest calls for it, and one that is refused leaves no trace, not even a directory.
class CheckingOwner : public TestOwner
{
public:
    CheckingOwner(const std::wstring &root, const std::string &wire, const RepairManifest &manifest)
        : TestOwner(root, wire), m_manifest(manifest)
    {
    }
    const RepairManifest *GetManifest() const override { return &m_manifest; }
    void RecordRefused(const std::wstring &, RepairRefusal refusal) override { refused = refusal; }

    std::optional<RepairRefusal> refused;

private:
    const RepairManifest &m_manifest;
};

struct VouchedCase
{
    const char *what;
    Bytes wire;
    std::optional<RecordVouch> refused;
    // Files afterwards that differ from before: name and content, nullopt for a file that is gone.
    std::vector<std::pair<std::string, std::optional<Bytes>>> changed;
};

class VouchedRecordTest : public testing::TestWithParam<VouchedCase>
{
};

TEST_P(VouchedRecordTest, OnlyWhatTheManifestCallsForIsWritten)
{
    static const RepairManifest manifest = manifestfixtures::ManifestOf(
        {{"bin/tool.exe", kHundred}, {"data/big.bin", kTen}, {"data/late.bin", kTen}, {"config/empty.cfg", ""}});
    const VouchedCase &c = GetParam();
    testfiles::TempDirectory temp("zelk-record");
    const fs::path install = temp.Path() / "install";
    const std::map<std::string, std::string> before = {
        {"bin/tool.exe", kThree}, {"data/big.bin", kTen}, {"extra.txt", kThree}, {"unins000.dat", kThree}};
    for (const auto &[name, content] : before)
        testfiles::WriteFile(install / name, content);
    CheckingOwner owner(NativeToPath(install.string()), *c.wire, manifest);
    owner.summary.Scan(owner.GetRoot(), {});

    ZelkAgentClientTask task;
    ASSERT_TRUE(ZelkAgentClientTask::ReceiveFile(&owner, &task));
    EXPECT_EQ(ZelkAgentClientTask::WriteFileEnd(&task), !c.refused);
    // Which rule of the manifest refused it is the manifest's own test.
    EXPECT_EQ(owner.refused, c.refused ? std::optional(RepairRefusal::RecordNotVouched) : std::nullopt);

    std::map<std::string, std::string> expected = before;
    for (const auto &[name, content] : c.changed)
    {
        if (content)
            expected[name] = **content;
        else
            expected.erase(name);
    }
    EXPECT_TRUE(testfiles::FileTreeContents(install) == expected);
    if (c.refused)
    {
        EXPECT_FALSE(fs::exists(install / "new")) << "a refused record made a directory";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, VouchedRecordTest,
    testing::Values(
        VouchedCase{"its_bytes", Record(false, L"bin\\tool.exe#000", kChecksum, kHundred), std::nullopt,
                    {{"bin/tool.exe", kHundred}}},
        VouchedCase{"other_bytes", Record(false, L"bin\\tool.exe#000", kChecksum, kThousand), RecordVouch::OtherBytes,
                    {}},
        VouchedCase{"other_compressed_bytes", Record(true, L"data\\big.bin#001", kChecksum, Compressed(kFiveThousand)),
                    RecordVouch::OtherBytes, {}},
        VouchedCase{"file_it_lacks", Record(false, L"new\\dir\\tool.so#000", kChecksum, kHundred),
                    RecordVouch::NotListed, {}},
        VouchedCase{"deletion_of_its_file", Record(false, L"data\\big.bin#000", 0, ""), RecordVouch::NotCalledFor, {}},
        VouchedCase{"deletion_of_a_file_it_lacks", Record(false, L"extra.txt#000", 0, ""), std::nullopt,
                    {{"extra.txt", std::nullopt}}},
        VouchedCase{"deletion_of_the_uninstall_log", Record(false, L"unins000.dat#000", 0, ""),
                    RecordVouch::InstallationOwn, {}},
        VouchedCase{"cut_it_does_not_call_for", Record(false, L"data\\big.bin#001", 0, ""), RecordVouch::NotCalledFor,
                    {}},
        VouchedCase{"segment_after_a_gap",
                    Record(false, L"data\\late.bin#002", kChecksum, kTen.substr(2 * kSegment)), RecordVouch::LeavesGap,
                    {}},
        VouchedCase{"its_empty_file", Record(false, L"config\\empty.cfg#000", 1, ""), std::nullopt,
                    {{"config/empty.cfg", std::string()}}}),
    [](const testing::TestParamInfo<VouchedCase> &info) { return std::string(info.param.what); });

// The summary holds the checksum of the bytes written, not the one a checked record claims.
TEST(VouchedRecordSummaryTest, ChecksumComesFromTheBytes)
{
    const RepairManifest manifest = manifestfixtures::ManifestOf({{"a.bin", kHundred}});
    testfiles::TempDirectory temp("zelk-record");
    CheckingOwner owner(temp.WidePath(), Record(false, L"a.bin#000", kChecksum, kHundred), manifest);
    ZelkAgentClientTask task;
    ASSERT_TRUE(ZelkAgentClientTask::ReceiveFile(&owner, &task));
    ASSERT_TRUE(ZelkAgentClientTask::WriteFileEnd(&task));
    FileTreeSummary::Entry entry;
    ASSERT_TRUE(owner.summary.FindEntry(L"a.bin#000", entry));
    EXPECT_EQ(entry.checksum, SegmentChecksum(kHundred.data(), kHundred.size()));
}
} // namespace
