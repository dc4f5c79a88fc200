// Repair runs through the engine against a repair server the test scripts byte by byte on a
// loopback socket: the stage texts, the segments line, the error lines by stage, the gauge, a
// cancel, and when the summary file is saved.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "LoopbackPeer.h"
#include "ScriptedRepairServer.h"
#include "RecordingObserver.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/ProductFacts.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "repair/RepairProtocol.h"
#include "run/MessageCatalogue.h"
#include "run/PatchRun.h"
#include "run/RepairServerAddress.h"

using namespace ZelkPatch;

namespace
{
namespace fs = std::filesystem;
using repairpeer::Handshake;
using repairpeer::RawRecord;
using repairpeer::Uint32;

const std::wstring kScanning = L"Scanning installed files. This may take a while.";
const std::wstring kConnecting = L"Connecting to patch servers.";
const std::wstring kPreparing = L"Preparing download list.";
const std::wstring kReceiving = L"Receiving updated files.";
const std::wstring kCompleted = L"Patching completed.";
const std::wstring kAborted = L"Patching aborted.";

// The summary file's saves, by the counts the client logs with each.
class SummarySaves : public ZelkSystemLogObserver
{
public:
    SummarySaves() { ZelkAddSystemLogObserver(this); }
    ~SummarySaves() override { ZelkRemoveSystemLogObserver(this); }
    void OnSystemLog(const std::wstring &text) override
    {
        const std::wstring mark = L"summary file saved with ";
        const size_t at = text.find(mark);
        if (at == std::wstring::npos)
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        m_saves.push_back(text.substr(at + mark.size(), text.find(L'\n') - at - mark.size()));
    }
    std::vector<std::wstring> Saves()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_saves;
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_saves;
};

class PatchRunRepairTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SetCatalogueLanguage(kLanguageEnglish);
        testfiles::WriteFile(m_install / "bin" / "Launcher.exe", "launcher");
        testfiles::WriteFile(m_install / "data" / "a.dat", std::string(5000, 'a'));
        testfiles::WriteFile(m_install / "unins000.exe", "uninstaller");
        m_settings.SetRepairMode(true);
        m_settings.SetInstallPath(NativeToPath(m_install.string()));
    }
    void TearDown() override { AssetDbIpc::Close(); }

    // The registry with the marker of an earlier failed run and the server's address.
    void UseServer(uint16_t port)
    {
        m_registry = std::make_unique<testfiles::ScopedRegistry>(
            (m_temp.Path() / "registry.reg").string(),
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" + std::to_string(port) +
                "\"\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator]\n\"IsPatching\"=dword:00000001\n");
    }

    RunOutcome Run()
    {
        PatchRun run(m_settings, m_payload, m_observer, m_observer.cancel);
        // The running check's waits are short, so that a test takes no longer than its server.
        run.SetPause([](unsigned) { SleepMilliseconds(20); });
        return run.Run();
    }

    std::vector<std::wstring> Lines()
    {
        std::vector<std::wstring> texts;
        for (const auto &[level, text] : m_observer.Lines())
            texts.push_back(text);
        return texts;
    }

    static bool MarkerSet()
    {
        std::unique_ptr<RegistryKey> key = RegistryKey::Open(ProductFacts::kProductKey, false);
        uint32_t value = 0;
        return key && key->QueryDword(ProductFacts::kPatchingMarkerValue, value);
    }

    testfiles::TempDirectory m_temp{"zelk-repair-run"};
    fs::path m_install = m_temp.Path() / "Korvil";
    std::unique_ptr<testfiles::ScopedRegistry> m_registry;
    PatchPayload m_payload;
    PatchSettings m_settings;
    testrun::RecordingObserver m_observer;
};

TEST_F(PatchRunRepairTest, NothingToFetchCompletesWithTheStagesInOrder)
{
    // What a crash in the middle of saving the summary left beside it.
    testfiles::WriteFile(m_install / "repair.cks.tmp-Xy12Ab", "half a summary");
    std::vector<std::wstring> keys;
    loopback::Peer server([&keys](int fd) {
        keys = Handshake(fd);
        loopback::SendAll(fd, Uint32(0));
        loopback::ReceiveAll(fd);
    });
    UseServer(server.Port());

    const RunOutcome outcome = Run();
    server.Finish();
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{kScanning, kConnecting, kPreparing, kReceiving,
                                                  L"(0 / 0 segments updated.)", kCompleted}));
    EXPECT_FALSE(MarkerSet());
    // The summary names the installation's files: neither the uninstaller nor anything of the
    // summary file itself, whose leftover is gone.
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"bin\\Launcher.exe#000", L"data\\a.dat#000"}));
    EXPECT_TRUE(fs::exists(m_install / "repair.cks"));
    EXPECT_FALSE(fs::exists(m_install / "repair.cks.tmp-Xy12Ab"));
    const auto gauge = m_observer.Gauge();
    ASSERT_FALSE(gauge.empty());
    EXPECT_EQ(gauge.front(), (testrun::RecordingObserver::GaugeCall{"range", 1000}));
    EXPECT_EQ(gauge.back(), (testrun::RecordingObserver::GaugeCall{"value", 1000}));
}

TEST_F(PatchRunRepairTest, HundredSegmentsAreWrittenAndTheSummarySavedEvery33)
{
    SummarySaves saves;
    loopback::Peer server([](int fd) {
        Handshake(fd);
        std::string records = Uint32(100);
        for (int i = 0; i < 100; ++i)
            records += RawRecord(L"new\\f" + std::to_wstring(i) + L".bin#000", 1000 + i, std::string(10 + i, 'r'));
        loopback::SendAll(fd, records);
        loopback::ReceiveAll(fd);
    });
    UseServer(server.Port());

    const RunOutcome outcome = Run();
    server.Finish();
    EXPECT_TRUE(outcome.completed);
    const std::vector<std::wstring> lines = Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"(100 / 100 segments updated.)"), lines.end());
    for (int i : {0, 37, 99})
        EXPECT_EQ(testfiles::ReadFile(m_install / "new" / ("f" + std::to_string(i) + ".bin")),
                  std::string(10 + i, 'r'));
    EXPECT_EQ(saves.Saves(), (std::vector<std::wstring>{L"0 of 0 segments received", L"33 of 100 segments received",
                                                       L"66 of 100 segments received", L"99 of 100 segments received",
                                                       L"100 of 100 segments received"}));
}

struct FailureCase
{
    const char *what;
    // Script of the server; empty when no server is asked.
    std::function<void(int fd)> script;
    const wchar_t *root;
    std::vector<std::wstring> tail;
};

class RepairFailureTest : public PatchRunRepairTest, public testing::WithParamInterface<FailureCase>
{
};

TEST_P(RepairFailureTest, FailureIsReportedByStage)
{
    const FailureCase &c = GetParam();
    loopback::Peer server(c.script);
    UseServer(server.Port());
    if (c.root)
        m_settings.SetInstallPath(c.root);
    const RunOutcome outcome = Run();
    if (c.root)
    {
        // The client never connected: the test does, so that the peer ends at once.
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(server.Port());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        close(fd);
    }
    EXPECT_FALSE(outcome.completed);
    std::vector<std::wstring> lines = Lines();
    ASSERT_GE(lines.size(), c.tail.size());
    lines.erase(lines.begin(), lines.end() - static_cast<long>(c.tail.size()));
    EXPECT_EQ(lines, c.tail);
    EXPECT_TRUE(MarkerSet());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, RepairFailureTest,
    testing::Values(
        FailureCase{"root_of_four_characters",
                    [](int) {},
                    L"/tmp",
                    {L"Internal error occurred.", L"(Error 5 in stage 1)", kAborted}},
        FailureCase{"server_speaks_version_5",
                    [](int fd) {
                        Handshake(fd, 5);
                        loopback::ReceiveAll(fd);
                    },
                    nullptr,
                    {kConnecting, L"Unable to connect to patch servers.", L"(Error 10 in stage 3)", kAborted}},
        FailureCase{"server_closes_after_the_summary",
                    [](int fd) { Handshake(fd); },
                    nullptr,
                    {kPreparing, L"Unable to connect to patch servers.", L"(Error 13 in stage 4)", kAborted}},
        FailureCase{"record_refused",
                    [](int fd) {
                        Handshake(fd);
                        loopback::SendAll(fd, Uint32(2) + RawRecord(L"ok.bin#000", 5, "fine") +
                                                  RawRecord(L"..\\escape.bin#000", 5, "evil"));
                        loopback::ReceiveAll(fd);
                    },
                    nullptr,
                    {kReceiving, L"(1 / 2 segments updated.)", L"Error occurred while repairing files.",
                     L"(Error 3 in stage 5)", kAborted}},
        FailureCase{"connection_lost_in_the_records",
                    [](int fd) {
                        Handshake(fd);
                        loopback::SendAll(fd, Uint32(3) + RawRecord(L"ok.bin#000", 5, "fine") +
                                                  RawRecord(L"cut.bin#000", 5, "cut short").substr(0, 20));
                    },
                    nullptr,
                    {kReceiving, L"(1 / 3 segments updated.)", L"Error occurred while repairing files.",
                     L"(Error 3 in stage 5)", kAborted}}),
    [](const testing::TestParamInfo<FailureCase> &info) { return std::string(info.param.what); });

TEST_F(PatchRunRepairTest, NoServerToBeFoundIsSaidAtOnce)
{
    m_registry = std::make_unique<testfiles::ScopedRegistry>(
        (m_temp.Path() / "registry.reg").string(),
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"no-such-host.invalid\"\n");
    EXPECT_FALSE(Run().completed);
    EXPECT_EQ(Lines(), (std::vector<std::wstring>{
                           L"Unable to contact repair server; check your network connection.", kAborted}));
}

TEST_F(PatchRunRepairTest, NothingListeningIsAConnectError)
{
    UseServer(loopback::UnusedPort());
    EXPECT_FALSE(Run().completed);
    const std::vector<std::wstring> lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 3], L"Unable to connect to patch servers.");
    EXPECT_EQ(lines[lines.size() - 2], L"(Error 12 in stage 3)");
}

TEST_F(PatchRunRepairTest, CancelWhileReceivingSaysOnlyTheSegmentsLine)
{
    std::atomic<bool> closed{false};
    loopback::Peer server([&closed](int fd) {
        Handshake(fd);
        loopback::SendAll(fd, Uint32(10) + RawRecord(L"one.bin#000", 5, "first"));
        // Holds the rest back until the client goes.
        loopback::ReceiveAll(fd);
        closed = true;
    });
    UseServer(server.Port());
    m_observer.cancelOn = kReceiving;

    const RunOutcome outcome = Run();
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.reason, RunEnd::Cancelled);
    std::vector<std::wstring> lines = Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(std::vector<std::wstring>(lines.begin(), lines.begin() + 4),
              (std::vector<std::wstring>{kScanning, kConnecting, kPreparing, kReceiving}));
    EXPECT_TRUE(lines[4] == L"(0 / 10 segments updated.)" || lines[4] == L"(1 / 10 segments updated.)")
        << testing::PrintToString(lines[4]);
    EXPECT_EQ(lines[5], kAborted);
    server.Finish();
    EXPECT_TRUE(closed);
}

TEST(RepairServerAddressTest, SettingNamesHostAndPort)
{
    IPv4Endpoint server;
    ASSERT_TRUE(ResolveRepairServer(L"127.0.0.1", server));
    EXPECT_EQ(server, (IPv4Endpoint{kLoopbackAddress, 6000}));
    ASSERT_TRUE(ResolveRepairServer(L"localhost:7001", server));
    EXPECT_EQ(server, (IPv4Endpoint{kLoopbackAddress, 7001}));
    for (const wchar_t *bad : {L"", L":6000", L"127.0.0.1:", L"127.0.0.1:0", L"127.0.0.1:65536", L"127.0.0.1:6x"})
        EXPECT_FALSE(ResolveRepairServer(bad, server)) << testing::PrintToString(std::wstring(bad));
}

TEST(RepairServerAddressTest, BuiltInHostServesWithoutARegistryValue)
{
    testfiles::TempDirectory temp("zelk-repair-run");
    testfiles::ScopedRegistry registry((temp.Path() / "registry.reg").string(),
                                       "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"\"\n");
    EXPECT_EQ(RepairServerSetting(), DefaultRepairServerHost());
    EXPECT_FALSE(DefaultRepairServerHost().empty());
}
} // namespace
