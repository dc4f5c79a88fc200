// Whole standalone runs through the engine, without a window or a display: a patcher whose payload
// carries the steps 100 -> 101 -> 102, a sample installation of build 100, and an observer that
// records what the run says and shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "RecordingObserver.h"
#include "RunningProgram.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestServers.h"
#include "kernel/AssetDbIpc.h"
#include "kernel/TextConvert.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/PatchRun.h"

using namespace ZelkPatch;

namespace
{
namespace fs = std::filesystem;
const std::string kBuild = ZELK_BUILD_DIR;
const std::wstring kDiskSpace = L"Checking for available disk space for patching.";
const std::wstring kUpdating = L"\nUpdating Korvil asset database... (this may take several minutes)";

// Records as its base does, and runs a test's hook once at the first "Patching..." line or the
// first gauge range (a package's start), to change the world under the run at that moment.
class HookedObserver : public testrun::RecordingObserver
{
public:
    void Message(MessageLevel level, const std::wstring &text) override
    {
        RecordingObserver::Message(level, text);
        if (text == L"Patching...\n" && onPatching)
            std::exchange(onPatching, nullptr)();
    }
    void GaugeRange(int range) override
    {
        RecordingObserver::GaugeRange(range);
        if (onPackageStart)
            std::exchange(onPackageStart, nullptr)();
    }

    std::function<void()> onPatching;
    std::function<void()> onPackageStart;
};

class PatchRunTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("zelk-run");
        const fs::path root = s_temp->Path();
        std::vector<std::string> builds;
        for (const char *version : {"100", "101", "102"})
        {
            const std::string digest =
                RunToolForOutput({kBuild + "/zelk-mksample", (root / version).string(), "--version", version});
            builds.push_back(digest.substr(0, digest.find('\n')) + "=" + version);
            fs::remove(root / version / "unins000.dat");
        }
        RunToolForOutput({kBuild + "/zelk-mkpatch", (root / "100").string(), (root / "101").string(),
                          (root / "100_to_101.zip").string()});
        RunToolForOutput({kBuild + "/zelk-mkpatch", (root / "101").string(), (root / "102").string(),
                          (root / "101_to_102.zip").string()});
        // The reader takes the payload from the end of any file: a small program will do.
        RunToolForOutput({kBuild + "/zelk-mkpayload", "/bin/true", (root / "patcher").string(), "--target", "102",
                          "--build", builds[0], "--build", builds[1], "--step",
                          "100:101:" + (root / "100_to_101.zip").string(), "--step",
                          "101:102:" + (root / "101_to_102.zip").string()});
    }
    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override
    {
        SetCatalogueLanguage(kLanguageEnglish);
        setenv("TEMP", (m_temp.Path() / "temp").c_str(), 1);
        fs::create_directories(m_temp.Path() / "temp");
        // Whatever the test machine's disks hold.
        setenv("ZELK_TEST_FREE_SPACE_MB", "100000", 1);
        RunToolForOutput({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        // As start-up sets a standalone run up: the registry's installation and the payload.
        const PayloadCheck check =
            CheckStandalonePayload(NativeToPath((s_temp->Path() / "patcher").string()), false, m_payload, m_settings,
                                   m_setUp);
        ASSERT_TRUE(check.ready);
        m_settings.SetInstallPath(NativeToPath(m_install.string()));
    }

    void TearDown() override
    {
        AssetDbIpc::Close();
        unsetenv("ZELK_TEST_FREE_SPACE_MB");
        unsetenv("TEMP");
    }

    RunOutcome Run()
    {
        PatchRun run(m_settings, m_payload, m_observer, m_observer.cancel);
        const RunOutcome outcome = run.Run();
        m_after = run.Settings();
        return outcome;
    }

    // What the run said, without the chunks the product utility printed.
    std::vector<std::wstring> RunLines()
    {
        std::vector<std::wstring> texts;
        for (const auto &[level, text] : m_observer.Lines())
            if (text.find(L"KorvilUtil: ") == std::wstring::npos)
                texts.push_back(text);
        return texts;
    }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    testfiles::TempDirectory m_temp;
    fs::path m_install = m_temp.Path() / "Korvil";
    // In a directory of its own, which a test may take away to make every registry write fail.
    testfiles::ScopedRegistry m_registry{(m_temp.Path() / "registry" / "registry.reg").string(),
                                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                                         "\"ProductClass\"=\"Korvil\"\n\"ProductInstallPath\"=\"" +
                                             m_install.string() + "\"\n"};
    PatchPayload m_payload;
    PatchSettings m_settings;
    PatchSettings m_after;
    testrun::RecordingObserver m_setUp;
    HookedObserver m_observer;
};

std::unique_ptr<testfiles::TempDirectory> PatchRunTest::s_temp;

std::map<std::string, std::string> WithoutLog(std::map<std::string, std::string> tree)
{
    tree.erase("unins000.dat");
    return tree;
}
} // namespace

TEST_F(PatchRunTest, AStandaloneRunInstallsEveryStepAndReportsEachOne)
{
    const RunOutcome outcome = Run();
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.reason, RunEnd::Completed);
    EXPECT_EQ(outcome.stepsInstalled, 2u);
    EXPECT_EQ(m_after.CurrentVersion(), "102");
    EXPECT_EQ(RunLines(), (std::vector<std::wstring>{kDiskSpace, L"Patching from 100 to 101.", L"Unpacking patch file...",
                                                     L"Patching...\n", L"Patching from 101 to 102.",
                                                     L"Unpacking patch file...", L"Patching...\n", kUpdating,
                                                     L"Patching completed."}));
    EXPECT_TRUE(WithoutLog(testfiles::FileTreeContents(m_install)) ==
                WithoutLog(testfiles::FileTreeContents(s_temp->Path() / "102")))
        << "the installation is build 102";

    // Each package announces its entries: the gauge's range is twice their count, and each entry
    // moves it one step. The rebuild then runs the gauge's second half and ends with it full.
    const auto gauge = m_observer.Gauge();
    size_t at = 0;
    for (int package = 0; package < 2; ++package)
    {
        SCOPED_TRACE("package " + std::to_string(package));
        ASSERT_LT(at, gauge.size());
        ASSERT_EQ(gauge[at].first, "range");
        const int entries = gauge[at].second / 2;
        EXPECT_GT(entries, 0);
        ++at;
        for (int step = 0; step < entries; ++step, ++at)
        {
            ASSERT_LT(at, gauge.size());
            EXPECT_EQ(gauge[at], std::make_pair(std::string("step"), 1));
        }
    }
    ASSERT_LT(at + 1, gauge.size());
    EXPECT_EQ(gauge[at], std::make_pair(std::string("range"), 1201000));
    EXPECT_EQ(gauge[gauge.size() - 2], std::make_pair(std::string("range"), 1));
    EXPECT_EQ(gauge.back(), std::make_pair(std::string("value"), 1));
    EXPECT_TRUE(m_observer.boxes.empty());
}

// The observer cancels as "Cancel" and "Yes" would, once the first package is about to be applied:
// the package stops at its first entry and the run ends where it was.
TEST_F(PatchRunTest, ACancelFromTheObserverEndsTheRunWhereItWas)
{
    m_observer.cancelOn = L"Patching...\n";
    const RunOutcome outcome = Run();
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.reason, RunEnd::Cancelled);
    EXPECT_EQ(outcome.stepsInstalled, 0u);
    EXPECT_EQ(m_after.CurrentVersion(), "100");
    EXPECT_EQ(RunLines(), (std::vector<std::wstring>{kDiskSpace, L"Patching from 100 to 101.", L"Unpacking patch file...",
                                                     L"Patching...\n", L"\nFailed to apply the patch: 100_to_101",
                                                     L"Patching aborted."}));
    const auto gauge = m_observer.Gauge();
    EXPECT_EQ(std::count(gauge.begin(), gauge.end(), std::make_pair(std::string("step"), 1)), 0)
        << "no entry is worked on after the cancel";
    // The step's journal stays, so that the next run finishes the step first.
    auto installed = WithoutLog(testfiles::FileTreeContents(m_install));
    EXPECT_TRUE(installed["patch-journal.txt"].starts_with("source=100\ntarget=101\n"));
    installed.erase("patch-journal.txt");
    EXPECT_TRUE(installed == WithoutLog(testfiles::FileTreeContents(s_temp->Path() / "100"))) << "nothing was changed";
}

// A product program that holds the installation keeps the run out, and the outcome says so, which
// is how the window knows to offer "Apply Update" again.
TEST_F(PatchRunTest, ARunningProductKeepsTheRunOut)
{
    RunningProgram product({kBuild + "/zelk-product-instance", m_install.string()});
    ASSERT_TRUE(product.WaitForOutput("ready")) << product.Output();
    PatchRun run(m_settings, m_payload, m_observer, m_observer.cancel);
    run.SetPause([](unsigned) {});
    const RunOutcome outcome = run.Run();
    EXPECT_EQ(outcome.reason, RunEnd::ProductRunning);
    EXPECT_EQ(RunLines(), (std::vector<std::wstring>{LoadMessage(157), L"Patching aborted."}));
    ASSERT_EQ(m_observer.boxes.size(), 1u);
    EXPECT_EQ(m_observer.boxes[0], std::make_pair(LoadMessage(159), LoadMessage(158)));
}

// A step is begun only once its journal and the "IsPatching" marker are written, and counted done
// only once the marker is cleared again; otherwise the run fails, and a run after the fault is
// gone reaches the target.
TEST_F(PatchRunTest, AStepWhoseJournalOrMarkerCannotBeWrittenFailsAndTheNextRunFinishesIt)
{
    const fs::path registryDirectory = m_temp.Path() / "registry";
    const fs::path movedRegistry = m_temp.Path() / "registry-moved";
    // Every registry write fails while a file stands where the registry's directory was.
    const auto breakRegistry = [&] {
        fs::rename(registryDirectory, movedRegistry);
        testfiles::WriteFile(registryDirectory, "not a directory");
    };
    const auto mendRegistry = [&] {
        if (fs::exists(movedRegistry))
        {
            fs::remove(registryDirectory);
            fs::rename(movedRegistry, registryDirectory);
        }
    };
    const fs::path journal = m_install / "patch-journal.txt";
    enum class Fault
    {
        Journal,
        SetMarker,
        ClearMarker
    };
    struct Case
    {
        const char *name;
        Fault fault;
        bool changed; // whether the step changed the installation before it failed
    };
    const Case cases[] = {{"journal cannot be written", Fault::Journal, false},
                          {"marker cannot be set", Fault::SetMarker, false},
                          {"marker cannot be cleared", Fault::ClearMarker, true}};
    for (const Case &test : cases)
    {
        SCOPED_TRACE(test.name);
        fs::remove_all(m_install);
        RunToolForOutput({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        m_observer.lines.clear();
        if (test.fault == Fault::Journal)
            fs::create_directory(journal);
        else if (test.fault == Fault::SetMarker)
            m_observer.onPatching = breakRegistry;
        else
            m_observer.onPackageStart = breakRegistry;

        RunOutcome outcome = Run();
        mendRegistry();
        EXPECT_FALSE(outcome.completed);
        EXPECT_EQ(outcome.stepsInstalled, 0u);
        const std::vector<std::wstring> lines = RunLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], L"\nFailed to apply the patch: 100_to_101");
        EXPECT_EQ(lines.back(), L"Patching aborted.");
        auto installed = WithoutLog(testfiles::FileTreeContents(m_install));
        if (test.changed)
        {
            // The journal stays for the next run, which applies the step again.
            EXPECT_TRUE(installed["patch-journal.txt"].starts_with("source=100\ntarget=101\n"));
            EXPECT_NE(testfiles::ReadFile(registryDirectory / "registry.reg").find("IsPatching"), std::string::npos);
        }
        else
        {
            installed.erase("patch-journal.txt");
            EXPECT_TRUE(installed == WithoutLog(testfiles::FileTreeContents(s_temp->Path() / "100")))
                << "nothing was changed";
        }

        if (test.fault == Fault::Journal)
            fs::remove(journal);
        outcome = Run();
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(m_after.CurrentVersion(), "102");
        EXPECT_TRUE(WithoutLog(testfiles::FileTreeContents(m_install)) ==
                    WithoutLog(testfiles::FileTreeContents(s_temp->Path() / "102")))
            << "the installation is build 102";
        EXPECT_EQ(testfiles::ReadFile(registryDirectory / "registry.reg").find("IsPatching"), std::string::npos);
    }
}

namespace
{
// Records, as each package starts (its gauge range), the step its journal names: the steps a run
// really applies, whatever it says about them.
class AppliedStepsObserver : public testrun::RecordingObserver
{
public:
    explicit AppliedStepsObserver(fs::path installation) : m_installation(std::move(installation)) {}

    void GaugeRange(int range) override
    {
        RecordingObserver::GaugeRange(range);
        // The database's rebuild sets ranges too, once the last journal is gone.
        const fs::path journalPath = m_installation / "patch-journal.txt";
        if (!fs::exists(journalPath))
            return;
        const std::string journal = testfiles::ReadFile(journalPath);
        const size_t source = journal.find("source=") + 7;
        const size_t target = journal.find("target=") + 7;
        applied.push_back(journal.substr(source, journal.find('\n', source) - source) + " to " +
                          journal.substr(target, journal.find('\n', target) - target));
    }

    std::vector<std::string> applied;

private:
    fs::path m_installation;
};

// "Step: 100 to 101, 1234 bytes, ..." -> "100 to 101"
std::vector<std::string> CheckedSteps(const std::vector<testrun::RecordingObserver::Line> &lines)
{
    std::vector<std::string> steps;
    for (const auto &[level, text] : lines)
        if (text.starts_with(L"Step: "))
            steps.push_back(WideToNarrow(text.substr(6, text.find(L',') - 6)));
    return steps;
}
} // namespace

// The preflight check lists exactly the steps that the run then applies, for the steps of a payload
// and for those of a list on a server, from the installed version and from the journal of a step
// that an earlier run left unfinished (here on an installation of build 101 whose launcher
// discovery took for 100).
TEST_F(PatchRunTest, TheCheckListsTheStepsTheRunApplies)
{
    const fs::path served = s_temp->Path();
    testfiles::WriteFile(served / "list" / "patches.txt",
                         "source-version: 100\ntarget-version: 101\npatch-exe-url: unused.exe\n"
                         "patch-data-url: ../100_to_101.zip\n\n"
                         "source-version: 101\ntarget-version: 102\npatch-exe-url: unused.exe\n"
                         "patch-data-url: ../101_to_102.zip\n");
    testservers::TestServer http;
    ASSERT_TRUE(http.Start("http_server.py", {"--root", served.string()})) << http.Output();
    setenv("no_proxy", "127.0.0.1", 1);
    setenv("NO_PROXY", "127.0.0.1", 1);
    const std::wstring server = L"http://127.0.0.1:" + std::to_wstring(http.Port()) + L"/list";

    const struct
    {
        const char *name;
        bool download;
        const char *installed; // the build on the disk
        bool journal;          // a journal of the step 101 -> 102
        std::vector<std::string> steps;
    } cases[] = {
        {"payload", false, "100", false, {"100 to 101", "101 to 102"}},
        {"list", true, "100", false, {"100 to 101", "101 to 102"}},
        {"payload, unfinished step", false, "101", true, {"101 to 102"}},
        {"list, unfinished step", true, "101", true, {"101 to 102"}},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        fs::remove_all(m_install);
        RunToolForOutput({kBuild + "/zelk-mksample", m_install.string(), "--version", c.installed});
        if (c.journal)
            testfiles::WriteFile(m_install / "patch-journal.txt", "source=101\ntarget=102\norigin=payload\n");
        PatchSettings settings = m_settings;
        if (c.download)
        {
            settings.SetDownloadMode(true);
            settings.AddPatchServer(server);
        }

        settings.SetCheckOnly(true);
        testrun::RecordingObserver checkObserver;
        const RunOutcome checked = PatchRun(settings, m_payload, checkObserver, checkObserver.cancel).Run();
        EXPECT_TRUE(checked.completed);
        EXPECT_EQ(CheckedSteps(checkObserver.Lines()), c.steps);

        settings.SetCheckOnly(false);
        AppliedStepsObserver runObserver(m_install);
        PatchRun run(settings, m_payload, runObserver, runObserver.cancel);
        const RunOutcome outcome = run.Run();
        EXPECT_TRUE(outcome.completed);
        EXPECT_EQ(runObserver.applied, c.steps);
        EXPECT_EQ(run.Settings().CurrentVersion(), "102");
        EXPECT_TRUE(WithoutLog(testfiles::FileTreeContents(m_install)) ==
                    WithoutLog(testfiles::FileTreeContents(s_temp->Path() / "102")))
            << "the installation is build 102";
    }
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
}
