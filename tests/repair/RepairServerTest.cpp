#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackPeer.h"
#include "TestFiles.h"
#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/ProcessMemory.h"
#include "kernel/SanitizerBuild.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBufferTCP.h"
#include "net/ZelkUtil.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"
#include "repair/RepairServer.h"
#include "repair/SegmentChecksum.h"

namespace
{
using testfiles::TempDirectory;
constexpr size_t kSegment = 4194304;

std::string Noise(size_t size, uint32_t seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (char &byte : bytes)
    {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void Write(const std::filesystem::path &path, const std::string &bytes)
{
    testfiles::WriteFile(path, bytes);
}

// The reference of the record-choice cases: a file of two segments whose last one is short, one of
// exactly one segment, a small file in a directory, an empty file, and a short file of zero bytes
// (whose checksum, 1, is that of any run of zero bytes).
void MakeReference(const std::filesystem::path &root)
{
    Write(root / "a.bin", Noise(kSegment + 100, 1));
    Write(root / "c.bin", Noise(kSegment, 2));
    Write(root / "dir/b.txt", "the b file\n");
    Write(root / "empty.cfg", "");
    Write(root / "z.bin", std::string(100, '\0'));
}

ReferenceTree BuildReference(const std::filesystem::path &root, const std::wstring &cache = std::wstring())
{
    ReferenceTree reference;
    std::string error;
    EXPECT_TRUE(reference.Build(NativeToPath(root.string()), cache, error)) << error;
    return reference;
}

// The summary a patcher would send for the installation at root.
std::vector<FileTreeSummary::Entry> ClientEntries(const std::filesystem::path &root)
{
    FileTreeSummary summary;
    summary.Scan(NativeToPath(root.string()), {L"repair.cks", L"unins000.exe"});
    return summary.GetEntries();
}

using PlannedList = std::vector<std::pair<std::wstring, RepairRecordKind>>;

PlannedList Plan(const ReferenceTree &reference, const std::vector<FileTreeSummary::Entry> &entries)
{
    RepairPlanner planner(reference);
    for (const FileTreeSummary::Entry &entry : entries)
        EXPECT_TRUE(planner.AddClientEntry(entry.name, entry.checksum));
    planner.Finish();
    PlannedList planned;
    planner.EachRecord([&](const PlannedRecord &record) {
        planned.emplace_back(record.key, record.kind);
        return true;
    });
    EXPECT_EQ(planned.size(), planner.GetRecordCount());
    return planned;
}

struct ChoiceCase
{
    const char *name;
    std::function<void(const std::filesystem::path &client)> damage;
    PlannedList expected;
};

using Kind = RepairRecordKind;

class RecordChoice : public testing::TestWithParam<ChoiceCase>
{
};

TEST_P(RecordChoice, SendsWhatMakesTheInstallationEqualToTheReferenceInKeyOrder)
{
    TempDirectory reference;
    TempDirectory client;
    MakeReference(reference.Path());
    MakeReference(client.Path());
    GetParam().damage(client.Path());
    EXPECT_EQ(Plan(BuildReference(reference.Path()), ClientEntries(client.Path())), GetParam().expected);
}

const PlannedList kEmptyOnly = {{L"empty.cfg#000", Kind::EmptyFile}};

INSTANTIATE_TEST_SUITE_P(
    RepairServer, RecordChoice,
    testing::Values(
        ChoiceCase{"Equal", [](const std::filesystem::path &) {}, kEmptyOnly},
        ChoiceCase{"DifferingSegment",
                   [](const std::filesystem::path &c) {
                       std::string bytes = testfiles::ReadFile(c / "a.bin");
                       bytes[kSegment + 7] ^= 0x5A;
                       Write(c / "a.bin", bytes);
                   },
                   {{L"a.bin#001", Kind::Segment}, {L"empty.cfg#000", Kind::EmptyFile}}},
        ChoiceCase{"MissingFileAndMissingEmptyFile",
                   [](const std::filesystem::path &c) {
                       std::filesystem::remove(c / "dir/b.txt");
                       std::filesystem::remove(c / "empty.cfg");
                   },
                   {{L"dir\\b.txt#000", Kind::Segment}, {L"empty.cfg#000", Kind::EmptyFile}}},
        ChoiceCase{"FileCutShort",
                   [](const std::filesystem::path &c) { std::filesystem::resize_file(c / "a.bin", 5000); },
                   {{L"a.bin#000", Kind::Segment}, {L"a.bin#001", Kind::Segment}, {L"empty.cfg#000", Kind::EmptyFile}}},
        // One segment more than the reference's full last one: only a cut brings it back.
        ChoiceCase{"FileLongerPastAFullSegment",
                   [](const std::filesystem::path &c) { Write(c / "c.bin", Noise(kSegment, 2) + "tail"); },
                   {{L"c.bin#001", Kind::Cut}, {L"empty.cfg#000", Kind::EmptyFile}}},
        // Longer within the last segment: the segment differs, and writing it cuts the file.
        ChoiceCase{"FileLongerWithinTheLastSegment",
                   [](const std::filesystem::path &c) { Write(c / "a.bin", Noise(kSegment + 100, 1) + "tail"); },
                   {{L"a.bin#001", Kind::Segment}, {L"empty.cfg#000", Kind::EmptyFile}}},
        // Zero bytes checksum alike at any length: the short segment goes out all the same.
        ChoiceCase{"ZeroFileLongerByASegment",
                   [](const std::filesystem::path &c) { Write(c / "z.bin", std::string(kSegment + 1, '\0')); },
                   {{L"empty.cfg#000", Kind::EmptyFile}, {L"z.bin#000", Kind::Segment}}},
        ChoiceCase{"ExtraFiles",
                   [](const std::filesystem::path &c) {
                       Write(c / "old.dat", Noise(kSegment + 1, 3));
                       Write(c / "dir/new/x.txt", "x");
                   },
                   {{L"dir\\new\\x.txt#000", Kind::Deletion},
                    {L"empty.cfg#000", Kind::EmptyFile},
                    {L"old.dat#000", Kind::Deletion}}},
        ChoiceCase{"EmptyFileMadeNonEmpty", [](const std::filesystem::path &c) { Write(c / "empty.cfg", "now"); },
                   kEmptyOnly}),
    [](const testing::TestParamInfo<ChoiceCase> &info) { return std::string(info.param.name); });

TEST(RepairPlanner, PassesOverKeysNoScanMakesAndTheFilesOnlyTheRepairRunKeeps)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    Write(reference.Path() / "repair.cks", "the publisher's own summary");
    Write(reference.Path() / "unins000.exe", "uninstaller");
    Write(reference.Path() / "unins000.dat", "the publisher's uninstall log");
    const ReferenceTree tree = BuildReference(reference.Path());
    RepairPlanner planner(tree);
    for (const wchar_t *key : {L"unins000.dat#000", L"patch-journal.txt#000", L"..\\escape.txt#000", L"/etc/passwd#000", L"a\\\\b#000", L"dir/b.txt#000", L"a.txt#7",
                               L"a.txt#0000", L"a.txt", L"a.txt#000"})
        EXPECT_TRUE(planner.AddClientEntry(key, SegmentChecksum("a", 1)));
    // Only a.txt#000 names a segment, and it is equal: nothing to send or delete, the files that
    // belong to an installation included.
    planner.Finish();
    EXPECT_EQ(planner.GetRecordCount(), 0u);
}

TEST(RepairPlanner, RefusesAClientWithMoreUnknownFilesThanItsBound)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const ReferenceTree tree = BuildReference(reference.Path());
    RepairPlanner planner(tree);
    size_t i = 0;
    while (i < RepairPlanner::kMaxExtraFiles)
        ASSERT_TRUE(planner.AddClientEntry(L"x" + std::to_wstring(i++) + L"#000", 7));
    // Further segments of a file counted already cost nothing.
    EXPECT_TRUE(planner.AddClientEntry(L"x" + std::to_wstring(i - 1) + L"#001", 7));
    EXPECT_FALSE(planner.AddClientEntry(L"x" + std::to_wstring(i) + L"#000", 7));
}

TEST(RepairPlanner, MergesDeletionsIntoTheReferencesRecordsInKeyOrder)
{
    // Names whose key order differs from their path order or from wide-character order: a blank
    // sorts before '#', a character above U+FFFF before one just below it, and a '#' inside a name.
    TempDirectory reference;
    for (const char *name : {"a.bin", "a b.bin", "notes#1.txt", "\xF0\x9D\x84\x9E.txt", "\xEF\xBF\xBD.txt", "z.bin"})
        Write(reference.Path() / name, name);
    Write(reference.Path() / "empty", "");
    const ReferenceTree tree = BuildReference(reference.Path());
    std::vector<FileTreeSummary::Entry> client;
    for (const wchar_t *key :
         {L"a!.bin#000", L"a.bin#000", L"a.bin#001", L"notes#000", L"\xFFFD\xFFFD.txt#000", L"\U0001D11F.txt#000"})
        client.push_back({key, 5, 0, false});
    const PlannedList planned = Plan(tree, client);
    ASSERT_EQ(planned.size(), tree.GetFiles().size() + 4);
    for (size_t i = 1; i < planned.size(); ++i)
        EXPECT_TRUE(FileTreeSummary::KeyOrder()(planned[i - 1].first, planned[i].first))
            << WideToNarrow(planned[i - 1].first) << " before " << WideToNarrow(planned[i].first);
    EXPECT_EQ(std::count_if(planned.begin(), planned.end(),
                            [](const auto &record) { return record.second == Kind::Deletion; }),
              4);
}

TEST(RepairPlanner, TakesItsMemoryFromTheBudgetAndLeavesTheLastEighthFree)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const ReferenceTree tree = BuildReference(reference.Path());
    MemoryBudget budget(256 * 1024);
    {
        RepairPlanner planner(tree, &budget);
        size_t i = 0;
        while (planner.AddClientEntry(L"unknown\\file" + std::to_wstring(i) + L"#000", 7))
            ++i;
        EXPECT_TRUE(planner.IsOverBudget());
        EXPECT_GT(i, 1000u);
        EXPECT_LE(budget.GetUsed(), budget.GetLimit() - budget.GetLimit() / 8);
        // What is left still admits others.
        RepairPlanner next(tree, &budget);
        EXPECT_FALSE(next.IsOverBudget());
    }
    EXPECT_EQ(budget.GetUsed(), 0u);

    MemoryBudget tiny(2);
    RepairPlanner planner(tree, &tiny);
    EXPECT_TRUE(planner.IsOverBudget());
    EXPECT_FALSE(planner.AddClientEntry(L"a.txt#000", 7));
}

// The reference cache ------------------------------------------------------------------------------

TEST(ReferenceTree, TheCacheSparesReadingFilesWhoseSizeAndTimeAreUnchanged)
{
    TempDirectory reference;
    TempDirectory state;
    MakeReference(reference.Path());
    const std::wstring cache = NativeToPath(state / "reference.cache");
    const ReferenceTree first = BuildReference(reference.Path(), cache);
    EXPECT_EQ(first.GetSegmentsRead(), 5u);

    const ReferenceTree second = BuildReference(reference.Path(), cache);
    EXPECT_EQ(second.GetSegmentsRead(), 0u);
    ASSERT_EQ(second.GetFiles().size(), first.GetFiles().size());
    for (size_t i = 0; i < first.GetFiles().size(); ++i)
        EXPECT_EQ(second.GetFiles()[i].checksums, first.GetFiles()[i].checksums);

    // Same time, other size: read again.
    const auto time = std::filesystem::last_write_time(reference.Path() / "dir/b.txt");
    Write(reference.Path() / "dir/b.txt", "the b file, longer\n");
    std::filesystem::last_write_time(reference.Path() / "dir/b.txt", time);
    const ReferenceTree third = BuildReference(reference.Path(), cache);
    EXPECT_EQ(third.GetSegmentsRead(), 1u);
    EXPECT_EQ(third.FindFile(L"dir\\b.txt")->checksums[0], SegmentChecksum("the b file, longer\n", 19));

    // A damaged cache costs a full read, nothing else.
    Write(state / "reference.cache", testfiles::ReadFile(state / "reference.cache").substr(0, 40));
    EXPECT_EQ(BuildReference(reference.Path(), cache).GetSegmentsRead(), 5u);
}

// The exchange on the wire ------------------------------------------------------------------------

std::string SummaryBytes(const std::vector<FileTreeSummary::Entry> &entries)
{
    std::string bytes;
    LittleEndian::Append32(bytes, SummaryMagic);
    LittleEndian::Append32(bytes, static_cast<uint32_t>(entries.size()));
    for (const FileTreeSummary::Entry &entry : entries)
    {
        const std::string name = EncodeUtf16LE(entry.name);
        LittleEndian::Append32(bytes, static_cast<uint32_t>(name.size() / 2));
        bytes += name;
        LittleEndian::Append32(bytes, entry.checksum);
        bytes += std::string(8, '\0');
    }
    return bytes;
}

struct ReceivedRecord
{
    RepairRecordHeader header;
    std::string bytes; // expanded when the record was compressed
};

// Reads the server's answer with the patcher's own record reader.
bool ReadAnswer(ZelkDataBuffer &answer, uint32_t &version, std::vector<ReceivedRecord> &records)
{
    uint32_t count = 0;
    if (ReadRepairUint32(answer, version) != ZELKRESULT_OK || ReadRepairUint32(answer, count) != ZELKRESULT_OK)
        return false;
    for (uint32_t i = 0; i < count; ++i)
    {
        ReceivedRecord record;
        RepairRecordFault fault = RepairRecordFault::None;
        if (ReadRepairRecordHeader(answer, record.header, fault) != ZELKRESULT_OK)
            return false;
        ZelkDataBufferMemoryDynamic payload;
        if (CopyData(payload, answer, record.header.payloadLength) != ZELKRESULT_OK)
            return false;
        payload.Seek(0);
        ZelkDataBufferMemoryDynamic plain;
        if (record.header.compressed && ZelkUtil::DecompressData(plain, payload) != ZELKRESULT_OK)
            return false;
        ZelkDataBufferMemoryDynamic &bytes = record.header.compressed ? plain : payload;
        record.bytes.assign(reinterpret_cast<const char *>(bytes.GetData()), bytes.GetSize());
        records.push_back(std::move(record));
    }
    return true;
}

struct SessionRun
{
    bool served = false;
    RepairSessionReport report;
    std::string answer;
};

// A connection whose client said everything at once: reads come from the request, writes are kept.
class RecordedConnection : public ZelkDataBuffer
{
public:
    explicit RecordedConnection(const std::string &request)
        : m_request(request.data(), static_cast<uint32_t>(request.size()))
    {
    }
    uint64_t GetSize() override { return 0; }
    ZELKRESULT SetSize(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    uint64_t GetPosition() override { return m_request.GetPosition(); }
    ZELKRESULT Seek(uint64_t) override { return ZELKRESULT_UNSUPPORTED; }
    ZELKRESULT Read(void *destination, uint32_t count) override { return m_request.Read(destination, count); }
    ZELKRESULT Write(const void *source, uint32_t count) override
    {
        answer.append(static_cast<const char *>(source), count);
        return ZELKRESULT_OK;
    }

    std::string answer;

private:
    ZelkDataBufferMemoryStatic m_request;
};

SessionRun Serve(const ReferenceTree &reference, const std::string &request)
{
    SegmentStore store(reference, 1 << 20);
    RecordedConnection connection(request);
    SessionRun run;
    run.served = ServeRepairSession(connection, reference, store, run.report);
    run.answer = connection.answer;
    return run;
}

std::string Request(uint32_t version, const std::string &summary)
{
    std::string bytes;
    LittleEndian::Append32(bytes, version);
    return bytes + summary;
}

TEST(RepairSession, SendsEachRecordAsTheClientReadsItCompressedOnlyWhenThatIsSmaller)
{
    TempDirectory reference;
    const std::string zeros(300000, '\0');
    const std::string noise = Noise(300000, 9);
    Write(reference.Path() / "noise.bin", noise);
    Write(reference.Path() / "sub/zeros.bin", zeros);
    Write(reference.Path() / "sub/empty", "");
    const ReferenceTree tree = BuildReference(reference.Path());

    const SessionRun run = Serve(tree, Request(kRepairProtocolVersion, SummaryBytes({{L"gone.txt#000", 5, 0, false}})));
    ASSERT_TRUE(run.served) << run.report.outcome;
    ZelkDataBufferMemoryStatic answer(run.answer.data(), static_cast<uint32_t>(run.answer.size()));
    uint32_t version = 0;
    std::vector<ReceivedRecord> records;
    ASSERT_TRUE(ReadAnswer(answer, version, records));
    EXPECT_EQ(version, kRepairProtocolVersion);
    EXPECT_EQ(answer.GetPosition(), answer.GetSize()) << "nothing after the last record";
    ASSERT_EQ(records.size(), 4u);

    EXPECT_EQ(records[0].header.name, L"gone.txt#000");
    EXPECT_EQ(records[0].header.checksum, 0u);
    EXPECT_EQ(records[0].header.payloadLength, 0u);

    EXPECT_EQ(records[1].header.name, L"noise.bin#000");
    EXPECT_FALSE(records[1].header.compressed);
    EXPECT_EQ(records[1].bytes, noise);
    EXPECT_EQ(records[1].header.checksum, SegmentChecksum(noise.data(), noise.size()));

    EXPECT_EQ(records[2].header.name, L"sub\\empty#000");
    EXPECT_FALSE(records[2].header.compressed);
    EXPECT_EQ(records[2].header.checksum, 1u);
    EXPECT_EQ(records[2].header.payloadLength, 0u);

    EXPECT_EQ(records[3].header.name, L"sub\\zeros.bin#000");
    EXPECT_TRUE(records[3].header.compressed);
    EXPECT_LT(records[3].header.payloadLength, zeros.size() / 100);
    EXPECT_EQ(records[3].bytes, zeros);
    EXPECT_EQ(records[3].header.checksum, 1u);

    EXPECT_EQ(run.report.entries, 1u);
    EXPECT_EQ(run.report.rawSegments, 1u);
    EXPECT_EQ(run.report.compressedSegments, 1u);
    EXPECT_EQ(run.report.deletions, 1u);
    EXPECT_EQ(run.report.emptyFiles, 1u);
    EXPECT_EQ(run.report.bytesSent, run.answer.size());
}

TEST(ReferenceTree, ServesNoFileThroughALinkThatLeadsOutOfTheRootNotEvenOneMadeAfterTheWalk)
{
    TempDirectory outside;
    const std::string secret = "the server account's own file";
    Write(outside / "secret.txt", secret);
    TempDirectory reference;
    TempDirectory state;
    Write(reference / "inside.txt", "inside");
    std::filesystem::create_directory(reference / "dir");
    std::filesystem::create_symlink("inside.txt", reference / "alias.txt");
    std::filesystem::create_symlink("../inside.txt", reference / "dir/back.txt");
    std::filesystem::create_symlink(outside / "secret.txt", reference / "leak.txt");
    std::filesystem::create_symlink(std::filesystem::relative(outside / "secret.txt", reference / "dir"),
                                    reference / "dir/up.txt");
    std::filesystem::create_symlink("nowhere.txt", reference / "dangling.txt");
    const std::wstring cache = NativeToPath(state / "reference.cache");
    const ReferenceTree tree = BuildReference(reference.Path(), cache);

    std::vector<std::wstring> names;
    for (const ReferenceFile &file : tree.GetFiles())
        names.push_back(file.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"alias.txt", L"dir\\back.txt", L"inside.txt"}));
    const std::vector<std::wstring> leadingOut = {L"dangling.txt", L"dir\\up.txt", L"leak.txt"};
    EXPECT_EQ(tree.GetLinksLeadingOut(), leadingOut);
    std::vector<ReferenceFile> cachedFiles;
    std::vector<std::wstring> cachedLinks;
    ASSERT_TRUE(LoadReferenceCache(cache, NativeToPath(reference.Path().string()), cachedFiles, cachedLinks));
    EXPECT_EQ(cachedLinks, leadingOut);

    const std::string request = Request(kRepairProtocolVersion, SummaryBytes({}));
    const SessionRun before = Serve(tree, request);
    EXPECT_TRUE(before.served) << before.report.outcome;
    EXPECT_EQ(before.report.rawSegments, 3u);
    EXPECT_EQ(before.answer.find(secret), std::string::npos);

    // The link inside is turned to lead out after the walk: its file is no longer served.
    std::filesystem::remove(reference / "alias.txt");
    std::filesystem::create_symlink(outside / "secret.txt", reference / "alias.txt");
    const SessionRun after = Serve(tree, request);
    EXPECT_FALSE(after.served);
    EXPECT_NE(after.report.outcome.find("cannot read alias.txt#000"), std::string::npos) << after.report.outcome;
    EXPECT_EQ(after.answer.find(secret), std::string::npos);
}

struct RefusalCase
{
    const char *name;
    std::string request;
    const char *outcome;
};

class RepairSessionRefusal : public testing::TestWithParam<RefusalCase>
{
};

// Each ends after the version answer: no count, no record, nothing allocated for a claim.
TEST_P(RepairSessionRefusal, AnswersTheVersionAndEndsTheExchange)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const SessionRun run = Serve(BuildReference(reference.Path()), GetParam().request);
    EXPECT_FALSE(run.served);
    std::string six;
    LittleEndian::Append32(six, kRepairProtocolVersion);
    EXPECT_EQ(run.answer, six);
    EXPECT_NE(run.report.outcome.find(GetParam().outcome), std::string::npos) << run.report.outcome;
}

std::string SummaryHead(uint32_t count)
{
    std::string bytes;
    LittleEndian::Append32(bytes, SummaryMagic);
    LittleEndian::Append32(bytes, count);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    RepairServer, RepairSessionRefusal,
    testing::Values(RefusalCase{"OtherVersion", Request(5, SummaryBytes({})), "client version 5"},
                    RefusalCase{"WrongMagic", Request(6, std::string(8, 'x')), "magic"},
                    RefusalCase{"CountBeyondTheBound", Request(6, SummaryHead(kMaxSummaryEntries + 1)),
                                "50000001 entries"},
                    RefusalCase{"NameBeyondTheBound", [] {
                                    std::string bytes = Request(6, SummaryHead(1));
                                    LittleEndian::Append32(bytes, 0x80000000u);
                                    return bytes;
                                }(),
                                "2147483648 units"},
                    RefusalCase{"SummaryCutShort", Request(6, SummaryHead(3)), "cut short"}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

// The server on a real connection -------------------------------------------------------------------

class RunningServer
{
public:
    explicit RunningServer(const ReferenceTree &reference, RepairServerOptions options = RepairServerOptions())
        : m_server(reference, OnLoopback(options), [this](const std::string &line) { Log(line); })
    {
        EXPECT_EQ(m_server.Listen(), ZELKRESULT_OK);
        m_thread = std::thread([this] { m_server.Run(); });
    }
    ~RunningServer() { Stop(); }

    void Stop()
    {
        m_server.Stop();
        if (m_thread.joinable())
            m_thread.join();
    }
    IPv4Endpoint Address() const { return m_server.GetAddress(); }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_lines;
    }
    bool WaitForLines(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_lines.size() >= count; });
    }
    // The lines that hold the text, once there are count of them.
    std::vector<std::string> WaitForLinesWith(const std::string &text, size_t count)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        std::vector<std::string> found;
        m_changed.wait_for(lock, std::chrono::seconds(60), [&] {
            found.clear();
            for (const std::string &line : m_lines)
            {
                if (line.find(text) != std::string::npos)
                    found.push_back(line);
            }
            return found.size() >= count;
        });
        return found;
    }
    size_t MemoryInUse() const { return m_server.GetMemoryInUse(); }
    // Until the server has accepted that many connections in all and every one has ended: none
    // holds memory any more.
    bool WaitUntilIdle(uint64_t accepted = 0)
    {
        const auto idle = [&] {
            return m_server.GetConnectionsAccepted() >= accepted && m_server.GetMemoryInUse() == 0;
        };
        for (int i = 0; i < 3000 && !idle(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return idle();
    }

private:
    static RepairServerOptions OnLoopback(RepairServerOptions options)
    {
        options.address = {kLoopbackAddress, 0};
        return options;
    }
    void Log(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_lines.push_back(line);
        m_changed.notify_all();
    }

    RepairServer m_server;
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_lines;
};

TEST(RepairServer, ServesManyClientsAtOnceAndLogsALinePerConnection)
{
    TempDirectory reference;
    MakeReference(reference.Path());
    const ReferenceTree tree = BuildReference(reference.Path());
    RunningServer server(tree);
    const std::string request = Request(kRepairProtocolVersion, SummaryBytes({}));

    constexpr int kClients = 6;
    std::vector<std::thread> clients;
    std::vector<std::vector<ReceivedRecord>> answers(kClients);
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] {
            ZelkDataBufferTCP connection;
            ASSERT_EQ(connection.Connect(server.Address()), ZELKRESULT_OK);
            ASSERT_EQ(connection.Write(request.data(), static_cast<uint32_t>(request.size())), ZELKRESULT_OK);
            uint32_t version = 0;
            EXPECT_TRUE(ReadAnswer(connection, version, answers[i]));
            connection.Disconnect(true);
        });
    for (std::thread &client : clients)
        client.join();
    for (const std::vector<ReceivedRecord> &records : answers)
    {
        ASSERT_EQ(records.size(), 6u);
        EXPECT_EQ(records[0].header.name, L"a.bin#000");
        EXPECT_EQ(records[1].bytes, testfiles::ReadFile(reference.Path() / "a.bin").substr(kSegment));
    }
    ASSERT_TRUE(server.WaitForLines(kClients));
    for (const std::string &line : server.Lines())
        EXPECT_NE(line.find("127.0.0.1:"), std::string::npos) << line;
    EXPECT_NE(server.Lines()[0].find("entries 0 records 6 (raw 4, compressed 1, cut 0, deleted 0, empty 1)"),
              std::string::npos)
        << server.Lines()[0];
}

TEST(RepairServer, ReadsASummaryThatArrivesInSmallPieces)
{
    // The server reads ahead of the fields it needs: fields cut between arrivals must come out whole.
    TempDirectory reference;
    MakeReference(reference.Path());
    const ReferenceTree tree = BuildReference(reference.Path());
    RunningServer server(tree);
    std::vector<FileTreeSummary::Entry> entries(3);
    entries[0].name = L"a.bin#000";
    entries[0].checksum = 1;
    entries[1].name = L"dir\\b.txt#000";
    entries[1].checksum = 2;
    entries[2].name = L"gone.txt#000";
    entries[2].checksum = 3;
    const std::string request = Request(kRepairProtocolVersion, SummaryBytes(entries));
    ZelkDataBufferTCP connection;
    ASSERT_EQ(connection.Connect(server.Address()), ZELKRESULT_OK);
    for (size_t at = 0; at < request.size(); at += 7)
    {
        const std::string piece = request.substr(at, 7);
        ASSERT_EQ(connection.Write(piece.data(), static_cast<uint32_t>(piece.size())), ZELKRESULT_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    uint32_t version = 0;
    std::vector<ReceivedRecord> records;
    ASSERT_TRUE(ReadAnswer(connection, version, records));
    connection.Disconnect(true);
    ASSERT_TRUE(server.WaitForLines(1));
    EXPECT_NE(server.Lines()[0].find("entries 3 records 7 (raw 4, compressed 1, cut 0, deleted 1, empty 1)"),
              std::string::npos)
        << server.Lines()[0];
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[5].header.name, L"gone.txt#000");
}

TEST(RepairServer, StopEndsConnectionsThatAreStillOpen)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const ReferenceTree tree = BuildReference(reference.Path());
    RunningServer server(tree);
    // A client that stalls after the handshake, halfway through its summary.
    ZelkDataBufferTCP stalled;
    ASSERT_EQ(stalled.Connect(server.Address()), ZELKRESULT_OK);
    const std::string request = Request(kRepairProtocolVersion, SummaryHead(2));
    ASSERT_EQ(stalled.Write(request.data(), static_cast<uint32_t>(request.size())), ZELKRESULT_OK);
    uint32_t version = 0;
    ASSERT_EQ(ReadRepairUint32(stalled, version), ZELKRESULT_OK);
    server.Stop();
    uint8_t byte = 0;
    EXPECT_NE(stalled.Read(&byte, 1), ZELKRESULT_OK);
    ASSERT_EQ(server.Lines().size(), 1u);
    EXPECT_NE(server.Lines()[0].find("cut short"), std::string::npos) << server.Lines()[0];
}

TEST(RepairServer, EndsAConnectionThatMovesNothingForTheIdleLimit)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const ReferenceTree tree = BuildReference(reference.Path());
    RepairServerOptions options;
    options.idleLimit = std::chrono::seconds(1);
    RunningServer server(tree, options);
    ZelkDataBufferTCP idle;
    ASSERT_EQ(idle.Connect(server.Address()), ZELKRESULT_OK);
    ASSERT_TRUE(server.WaitForLines(1));
    EXPECT_NE(server.Lines()[0].find("no version"), std::string::npos) << server.Lines()[0];
}

// Hostile clients -----------------------------------------------------------------------------------

// What a patcher's exchange looks like on a plain socket: the request at once, then every byte up
// to the server's close, read back with the patcher's record reader. False when the server closed
// without a complete answer.
bool ServedOverPlainSocket(uint16_t port, uint32_t source, const std::string &request, size_t &records)
{
    const int fd = loopback::ConnectFrom(port, source);
    if (fd < 0)
        return false;
    loopback::SendAll(fd, request);
    const std::string answer = loopback::ReceiveAll(fd);
    close(fd);
    ZelkDataBufferMemoryStatic bytes(answer.data(), static_cast<uint32_t>(answer.size()));
    uint32_t version = 0;
    std::vector<ReceivedRecord> received;
    records = 0;
    if (!ReadAnswer(bytes, version, received))
        return false;
    records = received.size();
    return true;
}

constexpr uint32_t kOtherLoopbackAddress = 0x7F000002u; // 127.0.0.2, another host to the server

TEST(RepairServer, AConnectionBeyondTheCapsIsClosedAtOnceAndFinishedOnesFreeTheirSlots)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const ReferenceTree tree = BuildReference(reference.Path());
    RepairServerOptions options;
    options.maxConnections = 8;
    options.maxPerAddress = 3;
    RunningServer server(tree, options);
    const uint16_t port = server.Address().port;
    const std::string request = Request(kRepairProtocolVersion, SummaryBytes({}));

    // Many more connections than slots, all open at once and then closed without a word: those
    // served end as soon as their client goes, the others are closed as they come.
    std::vector<int> crowd;
    for (int i = 0; i < 300; ++i)
        crowd.push_back(loopback::ConnectFrom(port, kLoopbackAddress + 0x100u * static_cast<uint32_t>(i % 4)));
    for (const int fd : crowd)
        close(fd);
    // Each was answered, none is left waiting, and each gave back its share of the memory.
    ASSERT_TRUE(server.WaitUntilIdle(crowd.size()));
    EXPECT_FALSE(server.WaitForLinesWith(" refused: ", 1).empty());
    size_t records = 0;
    EXPECT_TRUE(ServedOverPlainSocket(port, kLoopbackAddress, request, records));
    EXPECT_EQ(records, 1u);
    // The client has every byte before the server's end of it has ended.
    ASSERT_TRUE(server.WaitUntilIdle());

    // Three silent connections from one address take its share; a fourth is closed unanswered,
    // while another address is served.
    std::vector<int> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(loopback::ConnectFrom(port, kLoopbackAddress));
    const int refused = loopback::ConnectFrom(port, kLoopbackAddress);
    loopback::SendAll(refused, request);
    EXPECT_EQ(loopback::ReceiveAll(refused), "");
    close(refused);
    EXPECT_TRUE(ServedOverPlainSocket(port, kOtherLoopbackAddress, request, records));
    EXPECT_FALSE(server.WaitForLinesWith("connections open from that address", 1).empty());
    for (const int fd : silent)
        close(fd);
}

TEST(RepairServer, SummariesOfManyUnknownFilesStayWithinTheMemoryLimitWhileAnotherClientIsServed)
{
    TempDirectory reference;
    Write(reference.Path() / "a.txt", "a");
    const ReferenceTree tree = BuildReference(reference.Path());
    RepairServerOptions options;
    options.memoryLimit = 24 << 20;
    options.maxPerAddress = 64;
    RunningServer server(tree, options);
    const uint16_t port = server.Address().port;

    // Each of these clients claims 200,000 files the reference lacks and then reads nothing: what
    // it was planned stays held for as long as its connection lasts.
    std::vector<FileTreeSummary::Entry> unknown(RepairPlanner::kMaxExtraFiles);
    for (size_t i = 0; i < unknown.size(); ++i)
        unknown[i].name = L"f" + std::to_wstring(1000000 + i) + L"#000";
    const std::string hostile = Request(kRepairProtocolVersion, SummaryBytes(unknown));
    ProcessMemory before;
    ASSERT_TRUE(ReadProcessMemory(0, before));
    constexpr int kHostileClients = 32;
    std::vector<int> held(kHostileClients, -1);
    std::vector<std::thread> senders;
    for (int i = 0; i < kHostileClients; ++i)
        senders.emplace_back([&, i] {
            held[i] = loopback::ConnectFrom(port, kLoopbackAddress, 4096);
            loopback::SendAll(held[i], hostile);
        });
    for (std::thread &sender : senders)
        sender.join();

    size_t records = 0;
    EXPECT_TRUE(ServedOverPlainSocket(port, kOtherLoopbackAddress, Request(kRepairProtocolVersion, SummaryBytes({})),
                                      records));
    EXPECT_EQ(records, 1u);
    EXPECT_LE(server.MemoryInUse(), options.memoryLimit);
    EXPECT_FALSE(server.WaitForLinesWith("over the server's memory limit", 1).empty());
#ifndef ZELK_SANITIZER_BUILD
    // Without the limit these clients held over two gigabytes between them.
    ProcessMemory after;
    ASSERT_TRUE(ReadProcessMemory(0, after));
    EXPECT_LT(after.peakResidentBytes - before.peakResidentBytes, uint64_t(160) << 20);
#endif
    for (const int fd : held)
        close(fd);
    EXPECT_TRUE(server.WaitUntilIdle());
}

TEST(RepairServer, DropsClientsSlowerThanTheFloorAndServesOneThatKeepsPace)
{
    TempDirectory reference;
    const std::string noise = Noise(3 * kSegment, 4);
    Write(reference.Path() / "big.bin", noise);
    const ReferenceTree tree = BuildReference(reference.Path());
    RepairServerOptions options;
    options.slowWindow = std::chrono::seconds(1);
    RunningServer server(tree, options);
    const uint16_t port = server.Address().port;
    const std::string request = Request(kRepairProtocolVersion, SummaryBytes({}));

    // One sends its request a byte at a time; the other asks for every segment and reads nothing.
    std::thread trickle([&] {
        const int fd = loopback::ConnectFrom(port);
        for (size_t at = 0; at < request.size() * 20; ++at)
        {
            if (send(fd, request.data() + at % request.size(), 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        close(fd);
    });
    const int stalled = loopback::ConnectFrom(port, kLoopbackAddress, 4096);
    loopback::SendAll(stalled, request);

    ZelkDataBufferTCP keepsPace;
    ASSERT_EQ(keepsPace.Connect(server.Address()), ZELKRESULT_OK);
    ASSERT_EQ(keepsPace.Write(request.data(), static_cast<uint32_t>(request.size())), ZELKRESULT_OK);
    uint32_t version = 0;
    std::vector<ReceivedRecord> records;
    EXPECT_TRUE(ReadAnswer(keepsPace, version, records));
    keepsPace.Disconnect(true);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].bytes, noise.substr(2 * kSegment));

    const std::vector<std::string> dropped = server.WaitForLinesWith("slower than 1024 bytes a second", 2);
    ASSERT_EQ(dropped.size(), 2u);
    trickle.join();
    close(stalled);
    ASSERT_TRUE(server.WaitForLines(3));
    EXPECT_EQ(server.WaitForLinesWith(": done", 1).size(), 1u);
}
} // namespace
