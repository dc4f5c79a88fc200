#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
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
    PlannedList planned;
    for (const PlannedRecord &record : planner.Finish())
        planned.emplace_back(record.key, record.kind);
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
    EXPECT_TRUE(planner.Finish().empty());
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
    // Further segments of files already counted cost nothing.
    EXPECT_TRUE(planner.AddClientEntry(L"x0#001", 7));
    EXPECT_FALSE(planner.AddClientEntry(L"x" + std::to_wstring(i) + L"#000", 7));
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

void PutUint32(std::string &bytes, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>(value >> shift));
}

std::string SummaryBytes(const std::vector<FileTreeSummary::Entry> &entries)
{
    std::string bytes;
    PutUint32(bytes, SummaryMagic);
    PutUint32(bytes, static_cast<uint32_t>(entries.size()));
    for (const FileTreeSummary::Entry &entry : entries)
    {
        const std::string name = EncodeUtf16LE(entry.name);
        PutUint32(bytes, static_cast<uint32_t>(name.size() / 2));
        bytes += name;
        PutUint32(bytes, entry.checksum);
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
    PutUint32(bytes, version);
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
    PutUint32(six, kRepairProtocolVersion);
    EXPECT_EQ(run.answer, six);
    EXPECT_NE(run.report.outcome.find(GetParam().outcome), std::string::npos) << run.report.outcome;
}

std::string SummaryHead(uint32_t count)
{
    std::string bytes;
    PutUint32(bytes, SummaryMagic);
    PutUint32(bytes, count);
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
                                    PutUint32(bytes, 0x80000000u);
                                    return bytes;
                                }(),
                                "2147483648 units"},
                    RefusalCase{"SummaryCutShort", Request(6, SummaryHead(3)), "cut short"}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.name); });

// The server on a real connection -------------------------------------------------------------------

class RunningServer
{
public:
    explicit RunningServer(const ReferenceTree &reference, std::chrono::seconds idleLimit = std::chrono::seconds(120))
        : m_server(reference, Options(idleLimit), [this](const std::string &line) { Log(line); })
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

private:
    static RepairServerOptions Options(std::chrono::seconds idleLimit)
    {
        RepairServerOptions options;
        options.address = {kLoopbackAddress, 0};
        options.idleLimit = idleLimit;
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
    RunningServer server(tree, std::chrono::seconds(1));
    ZelkDataBufferTCP idle;
    ASSERT_EQ(idle.Connect(server.Address()), ZELKRESULT_OK);
    ASSERT_TRUE(server.WaitForLines(1));
    EXPECT_NE(server.Lines()[0].find("no version"), std::string::npos) << server.Lines()[0];
}
} // namespace
