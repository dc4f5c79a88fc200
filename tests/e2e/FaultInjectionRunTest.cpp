// Whole-program runs in which one file operation fails: the first run fails the 1st operation on
// the installation, the run's temporary files and the registry file, the next run the 2nd, and so
// on until a run makes fewer operations than the number to fail. Whatever fails, the run must say
// so instead of "Patching completed.", leave every file of the installation old or new and the
// uninstall log and the registry whole, and a run without faults must then finish the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "RunningProgram.h"
#include "kernel/TextConvert.h"
#include "TestServers.h"
#include "patch/UninstallLog.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
const char *const kVersions[] = {"100", "101", "102"};
const char *const kErrnos[] = {"ENOSPC", "EIO", "EACCES"};
const std::string kFaultLibrary = kBuild + "/zelk-fault-injection.so";

// The data files of the small builds: one patched in both steps, one in the first only, one
// deleted, one added in each step (the second in a new folder).
std::map<std::string, std::string> DataFiles(const std::string &version)
{
    std::map<std::string, std::string> files = {
        {"data/readme.txt", "readme of build " + version + "\n" + std::string(3000, 'r') + "\n"},
        {"data/sub/values.dat", std::string(5000, version == "100" ? 'a' : 'b') + "tail\n"},
    };
    if (version == "100")
        files["data/gone.txt"] = "only in build 100\n";
    else
        files["data/added.pak"] = "added in build 101\n";
    if (version == "102")
        files["data/maps/one.map"] = "added in build 102\n";
    return files;
}

class FaultInjectionRunTest : public e2e::PatcherRunTest
{
protected:
    // Builds of a few files each (the programs and the database of a sample installation, and
    // small data), their packages, and a standalone patcher carrying both steps.
    static void SetUpTestSuite()
    {
        s_root = fs::temp_directory_path() / ("pelmo-faults-e2e-" + std::to_string(::getpid()));
        fs::create_directories(s_root / "served/steps");
        std::map<std::string, std::string> digests;
        for (const char *version : kVersions)
        {
            const fs::path sample = s_root / ("sample-" + std::string(version));
            std::string digest;
            RunTool({kBuild + "/zelk-mksample", sample.string(), "--version", version}, &digest);
            digests[version] = digest.substr(0, digest.find('\n'));
            const fs::path build = s_root / ("build-" + std::string(version));
            fs::create_directories(build);
            fs::copy(sample / "bin", build / "bin", fs::copy_options::recursive);
            fs::copy_file(sample / "assets.kdx", build / "assets.kdx");
            for (const auto &[path, content] : DataFiles(version))
                WriteFile(build / path, content);
            fs::remove_all(sample);
        }
        for (const auto &[from, to] : {std::pair{"100", "101"}, {"101", "102"}})
            RunTool({kBuild + "/zelk-mkpatch", (s_root / ("build-" + std::string(from))).string(),
                     (s_root / ("build-" + std::string(to))).string(), StepArchive(from, to).string()});
        s_patcher = s_root / "pelmo-patcher-102";
        RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", s_patcher.string(), "--target", "102",
                 "--build", digests["100"] + "=100", "--build", digests["101"] + "=101", "--step",
                 "100:101:" + StepArchive("100", "101").string(), "--step",
                 "101:102:" + StepArchive("101", "102").string()});
    }

    static void TearDownTestSuite() { fs::remove_all(s_root); }

    static fs::path StepArchive(const std::string &from, const std::string &to)
    {
        return s_root / "served/steps" / (from + "_to_" + to + ".zip");
    }

    // The installation of build 100 with its uninstall log, kept aside to start every run afresh.
    void SetUp() override
    {
        MakeRunDirectory(s_root);
        m_pristine = m_dir / "pristine";
        fs::create_directories(m_pristine);
        fs::copy(s_root / "build-100", m_pristine, fs::copy_options::recursive);
        fs::copy_file(m_install / "unins000.dat", m_pristine / "unins000.dat");
        m_registryText = ReadFile(m_registry);
        m_counter = m_dir / "fault-counter";
        m_faultLog = m_dir / "faults.log";
    }

    void Reset()
    {
        fs::remove_all(m_install);
        fs::remove_all(m_dir / "temp");
        fs::create_directories(m_dir / "temp");
        fs::copy(m_pristine, m_install, fs::copy_options::recursive);
        WriteFile(m_registry, m_registryText);
        WriteFile(m_counter, std::string(8, '\0'));
        fs::remove(m_faultLog);
        fs::remove(m_utilityLog);
    }

    // Environment that fails operation number n (0: none) on the given paths and kinds.
    std::vector<std::string> Faults(long n, const std::string &paths, const std::string &kinds) const
    {
        return {"LD_PRELOAD=" + kFaultLibrary,
                "ZELK_FAULT_SUFFIX=" + m_faultSuffix,
                "ZELK_FAULT_COUNTER=" + m_counter.string(),
                "ZELK_FAULT_AT=" + std::to_string(n),
                std::string("ZELK_FAULT_ERRNO=") + kErrnos[n % 3],
                "ZELK_FAULT_PATHS=" + paths,
                "ZELK_FAULT_OPS=" + kinds,
                "ZELK_FAULT_LOG=" + m_faultLog.string()};
    }

    long OperationsCounted() const
    {
        const std::string bytes = ReadFile(m_counter);
        long count = 0;
        if (bytes.size() >= sizeof count)
            std::memcpy(&count, bytes.data(), sizeof count);
        return count;
    }

    // The line of the fault log that names the failed operation.
    std::string FailedOperation() const
    {
        std::ifstream log(m_faultLog);
        for (std::string line; std::getline(log, line);)
            if (line.size() > 6 && line.compare(line.size() - 6, 6, " FAULT") == 0)
                return line;
        return "(no fault)";
    }

    // Every file is the content of one of the builds at its path, or absent where a build lacks
    // it; the patcher's own files beside them are its journal and backups.
    void ExpectEveryFileOldOrNew() const
    {
        std::vector<std::map<std::string, std::string>> builds;
        for (const char *version : kVersions)
            builds.push_back(TreeContents(s_root / ("build-" + std::string(version)), {}));
        const auto actual = TreeContents(m_install, {"unins000.dat", "patch-journal.txt"});
        std::set<std::string> paths;
        for (const auto &build : builds)
            for (const auto &[path, content] : build)
                paths.insert(path);
        for (const auto &[path, content] : actual)
            paths.insert(path);
        for (const std::string &path : paths)
        {
            if (path.size() > 4 && path.compare(path.size() - 4, 4, ".bak") == 0)
                continue;
            const auto found = actual.find(path);
            bool matches = false;
            for (const auto &build : builds)
            {
                const auto expected = build.find(path);
                if (found == actual.end())
                    matches = matches || expected == build.end() || expected->second == "<dir>";
                else
                    matches = matches || (expected != build.end() && expected->second == found->second);
            }
            EXPECT_TRUE(matches) << path << (found == actual.end() ? " is missing" : " is neither old nor new");
        }
    }

    // The uninstall log reads and records each file the steps added at most once (exactly once
    // when recorded); the registry still names the installation, without the patching marker once
    // the installation is at the target.
    void ExpectLogAndRegistryWhole(bool atTarget, bool recorded) const
    {
        UninstallLogContents log;
        std::string error;
        EXPECT_TRUE(ReadUninstallLog(NativeToPath((m_install / "unins000.dat").string()), log, error)) << error;
        for (const char *added : {"data/added.pak", "data/maps/one.map"})
        {
            const std::wstring path = NativeToPath((m_install / added).string());
            const auto count = std::count_if(log.records.begin(), log.records.end(), [&](const UninstallRecord &r) {
                return r.type == kUninstallRecordDeleteFile && r.strings.size() == 1 && r.strings[0] == path;
            });
            EXPECT_LE(count, 1) << added;
            if (recorded)
            {
                EXPECT_EQ(count, 1) << added;
            }
        }
        const std::string registry = ReadFile(m_registry);
        EXPECT_EQ(registry.compare(0, 37, "Windows Registry Editor Version 5.00\n"), 0) << registry;
        EXPECT_TRUE(Contains(registry, "\"ProductInstallPath\"=\"" + m_install.string() + "\"\n")) << registry;
        if (atTarget)
        {
            EXPECT_FALSE(Contains(registry, "IsPatching")) << registry;
        }
    }

    // When tolerating leftovers, a backup that could not be removed after its file was patched
    // may stay behind (it costs room, not correctness), and so may the journal of a step that is
    // done (the next run applies the step again).
    void ExpectAtTarget(bool toleratingLeftovers = false, bool recorded = true) const
    {
        std::vector<std::string> differences = TreeDifferences(m_install, s_root / "build-102");
        if (toleratingLeftovers)
            std::erase_if(differences, [](const std::string &difference) {
                return difference == "extra patch-journal.txt" ||
                       (difference.compare(0, 6, "extra ") == 0 && difference.size() > 10 &&
                        difference.compare(difference.size() - 4, 4, ".bak") == 0);
            });
        EXPECT_EQ(differences, std::vector<std::string>());
        ExpectLogAndRegistryWhole(true, recorded);
    }

    struct Outcome
    {
        long faultPoints = 0;
        std::map<std::string, int> failedByKind;
        std::map<std::string, int> survivedByKind;
        std::vector<std::string> survived;
    };

    // The loop over fault points; run(environment) runs the patcher and returns its status and
    // output. Stops at the first fault point whose checks fail.
    Outcome TryEveryFaultPoint(const std::string &paths, const std::string &kinds,
                               const std::function<int(const std::vector<std::string> &, std::string &)> &run)
    {
        Outcome outcome;
        for (long n = 1;; ++n)
        {
            Reset();
            std::string output;
            const int status = run(Faults(n, paths, kinds), output);
            if (OperationsCounted() < n)
            {
                // The run made fewer operations than n: nothing failed, and it must have worked.
                EXPECT_EQ(status, 0) << output;
                EXPECT_TRUE(Contains(output, "Patching completed.")) << output;
                ExpectAtTarget();
                outcome.faultPoints = n - 1;
                return outcome;
            }
            const std::string failed = FailedOperation();
            SCOPED_TRACE("fault point " + std::to_string(n) + ": " + failed);
            const size_t kindStart = failed.find(' ') + 1;
            const std::string kind = failed.substr(kindStart, failed.find(' ', kindStart) - kindStart);
            if (status == 0 && Contains(output, "Patching completed."))
            {
                // The run got past the fault (it lay in work that could be done again or did not
                // matter): then all it claims must hold.
                ++outcome.survivedByKind[kind];
                outcome.survived.push_back(failed.substr(kindStart));
                // The uninstall log is bookkeeping: a step whose log could not be extended is
                // still installed, and the run says so at level 2.
                ExpectAtTarget(true, !Contains(output, "Failed to update unins000.dat after the patch: "));
                // A journal that could not be removed makes the next run apply its step again.
                if (fs::exists(m_install / "patch-journal.txt"))
                {
                    std::string again;
                    EXPECT_EQ(run({}, again), 0) << again;
                    EXPECT_TRUE(Contains(again, "Patching completed.")) << again;
                    EXPECT_FALSE(fs::exists(m_install / "patch-journal.txt"));
                    ExpectAtTarget(true);
                }
            }
            else
            {
                ++outcome.failedByKind[kind];
                EXPECT_NE(status, 0) << output;
                EXPECT_FALSE(Contains(output, "Patching completed.")) << output;
                EXPECT_TRUE(Contains(output, "Patching aborted.")) << output;
                ExpectEveryFileOldOrNew();
                ExpectLogAndRegistryWhole(false, false);

                std::string again;
                EXPECT_EQ(run({}, again), 0) << again;
                EXPECT_TRUE(Contains(again, "Patching completed.")) << again;
                ExpectAtTarget();
            }
            if (HasFailure())
            {
                std::printf("fault log of the run:\n%s\n", ReadFile(m_faultLog).c_str());
                outcome.faultPoints = n;
                return outcome;
            }
        }
    }

    static void Report(const char *run, const Outcome &outcome)
    {
        std::string failed;
        for (const auto &[kind, count] : outcome.failedByKind)
            failed += " " + kind + "=" + std::to_string(count);
        std::string survived;
        for (const auto &[kind, count] : outcome.survivedByKind)
            survived += " " + kind + "=" + std::to_string(count);
        std::printf("%s: %ld fault points tried; the run failed at%s; it got past%s\n", run, outcome.faultPoints,
                    failed.c_str(), survived.empty() ? " none" : survived.c_str());
        for (const std::string &operation : outcome.survived)
            std::printf("  got past: %s\n", operation.c_str());
    }

    static fs::path s_root;
    static fs::path s_patcher;
    fs::path m_pristine;
    std::string m_registryText;
    fs::path m_counter;
    fs::path m_faultLog;
    std::string m_faultSuffix;
};

fs::path FaultInjectionRunTest::s_root;
fs::path FaultInjectionRunTest::s_patcher;
} // namespace

TEST_F(FaultInjectionRunTest, AStandaloneRunSurvivesAFailureOfAnyFileOperation)
{
    const std::string paths = m_install.string() + ":" + (m_dir / "temp").string() + ":" + m_registry.string();
    const Outcome outcome = TryEveryFaultPoint(
        paths, "open,write,fsync,rename,unlink,mkdir", [&](const std::vector<std::string> &faults, std::string &output) {
            RunningProgram patcher({s_patcher.string(), "-u"}, Environment(faults));
            const int status = patcher.Wait();
            output = patcher.Output();
            return status;
        });
    Report("standalone run", outcome);
    EXPECT_GT(outcome.faultPoints, 20) << "the run's file operations were not seen";
}

TEST_F(FaultInjectionRunTest, ADownloadRunSurvivesAFailureOfAnyWriteOfItsTransfers)
{
    testservers::TestServer http;
    ASSERT_TRUE(http.Start("http_server.py", {"--root", (s_root / "served").string()})) << http.Output();
    const std::string base = "http://127.0.0.1:" + std::to_string(http.Port());
    WriteFile(s_root / "served/list/patches.txt",
              "source-version: 100\ntarget-version: 101\npatch-exe-url: http://unused.example/patcher\n"
              "patch-data-url: " + base + "/steps/100_to_101.zip\n\n"
              "source-version: 101\ntarget-version: 102\npatch-exe-url: http://unused.example/patcher\n"
              "patch-data-url: " + base + "/steps/101_to_102.zip\n");
    // Only the transfers' files: the step archives downloaded into the run's temporary directory.
    m_faultSuffix = ".zip";
    const Outcome outcome = TryEveryFaultPoint(
        (m_dir / "temp").string(), "open,write,fsync", [&](const std::vector<std::string> &faults, std::string &output) {
            std::vector<std::string> environment = faults;
            environment.insert(environment.end(),
                               {"ZELK_TEST_TRANSFER_RETRY_PAUSE_MS=10", "no_proxy=127.0.0.1", "NO_PROXY=127.0.0.1"});
            RunningProgram patcher({kBuild + "/pelmo-patcher", "-u", "--server=" + base + "/list", "--final=102", "100",
                                    m_install.string()},
                                   Environment(environment));
            const int status = patcher.Wait();
            output = patcher.Output();
            return status;
        });
    Report("download run", outcome);
    EXPECT_GT(outcome.faultPoints, 2) << "the transfers' writes were not seen";
}
