// Root patching an installation that an unprivileged account owns, as happens whenever a user
// patches their own installation (the registry file is root's, so the run is elevated). Each row
// plants one thing that account can plant, runs the patcher as root and checks what happens to the
// run and outside the installation: no code of the account's runs as root, no file of root's is
// written through the account's links, and nothing the account holds or cuts short hangs or crashes
// the run. The account is "nobody", which every Debian machine has.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "E2eFixtures.h"
#include "kernel/AssetDbIpc.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
constexpr uid_t kAccount = 65534;
const std::string kAccountIds = "--reuid=65534 --regid=65534 --clear-groups";
const std::string kRootOnlyContent = "root's alone\n";

// Names of the instance registry's objects, encoded as every product program encodes them.
std::string EncodedObjectName(const std::string &name)
{
    std::string encoded;
    for (char c : name)
        encoded += c == '%' ? std::string("%25") : c == '/' ? std::string("%2F") : std::string(1, c);
    return encoded;
}

// What a run did.
struct RunResult
{
    int status = -1;
    std::string output;
    std::chrono::steady_clock::duration took{};
};

class RootTrustTest;

struct TrustCase
{
    const char *name;
    // Plants the thing while the patcher that will run as pid is stopped before it starts.
    std::function<void(RootTrustTest &, pid_t)> plant;
    enum Run
    {
        Standalone,
        // The run's worker faults on purpose, so that a crash report is written.
        CrashingWorker,
    } run;
    std::vector<std::string> environment;
    // SIGTERM as soon as the patcher has the registry's lock file open (it waits on it then).
    bool terminateWhileWaiting;
    std::function<void(RootTrustTest &, const RunResult &)> holds;
};

class RootTrustTest : public ::testing::TestWithParam<TrustCase>
{
public:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "shows what root does for another account";
        m_dir = m_temp.Path();
        fs::permissions(m_dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        std::string digest;
        for (const char *version : {"100", "101"})
        {
            RunTool({kBuild + "/zelk-mksample", (m_dir / version).string(), "--version", version},
                    version == std::string("100") ? &digest : nullptr);
            fs::remove(m_dir / version / "unins000.dat");
        }
        RunTool({kBuild + "/zelk-mkpatch", (m_dir / "100").string(), (m_dir / "101").string(),
                 (m_dir / "step.zip").string()});
        // The user's own standalone patcher, in a directory of the user's.
        fs::create_directories(m_dir / "downloads");
        m_patcher = m_dir / "downloads/pelmo-patcher-101";
        RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", m_patcher.string(), "--target", "101",
                 "--build", digest.substr(0, digest.find('\n')) + "=100", "--step",
                 "100:101:" + (m_dir / "step.zip").string()});
        GiveToAccount(m_dir / "downloads");

        m_install = m_dir / "Korvil";
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        GiveToAccount(m_install);
        WriteFile(m_dir / "registry.reg", "Windows Registry Editor Version 5.00\n\n"
                                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                                          "\"ProductClass\"=\"Korvil\"\n\"ProductInstallPath\"=\"" +
                                              m_install.string() + "\"\n");
        // The shared temporary directory, as /tmp is.
        fs::create_directories(m_dir / "temp");
        chmod((m_dir / "temp").c_str(), 01777);
        m_rootOnly = m_dir / "root-only";
        WriteFile(m_rootOnly, kRootOnlyContent);
        chmod(m_rootOnly.c_str(), 0600);

        const std::string key = AssetDbIpc::RegistryKey(m_install.string() + "/assets.kdx");
        m_instanceMutex = "/dev/shm/" + EncodedObjectName(key);
        m_instanceBlock = "/dev/shm/" + EncodedObjectName(key + "/-ipc2");
    }

    void TearDown() override
    {
        m_holders.clear();
        if (m_fifo >= 0)
            close(m_fifo);
        std::error_code ignored;
        fs::remove(m_instanceMutex, ignored);
        fs::remove(m_instanceBlock, ignored);
    }

    // Everything below path becomes the account's, as the user's own files are.
    void GiveToAccount(const fs::path &path)
    {
        lchown(path.c_str(), kAccount, kAccount);
        if (fs::is_directory(fs::symlink_status(path)))
            for (const fs::directory_entry &entry : fs::recursive_directory_iterator(path))
                lchown(entry.path().c_str(), kAccount, kAccount);
    }

    // A program of the account's in the installation, in place of the one named.
    void PlantScript(const std::string &relative, const std::string &body)
    {
        const fs::path path = m_install / relative;
        fs::remove(path);
        WriteFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        GiveToAccount(path);
    }

    // A process of the account's that holds an exclusive flock on path until the test ends.
    void HoldLockAsAccount(const fs::path &path)
    {
        auto holder = std::make_unique<RunningProgram>(std::vector<std::string>{
            "/bin/sh", "-c", "exec setpriv " + kAccountIds + " flock -x \"$0\" -c 'echo held; exec sleep 600'",
            path.string()});
        ASSERT_TRUE(holder->WaitForOutput("held\n")) << holder->Output();
        m_holders.push_back(std::move(holder));
    }

    // A FIFO of the given owner where the patcher of pid looks for its console, with our read end
    // open so that the patcher finds a reader.
    void PlantConsoleFifo(pid_t pid, uid_t owner)
    {
        const fs::path fifo = m_dir / "temp" / (std::to_string(pid) + "cout");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
        lchown(fifo.c_str(), owner, owner);
        m_fifo = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(m_fifo, 0);
    }

    // What the FIFO received, decoded from UTF-16LE.
    std::string FifoText()
    {
        std::string bytes;
        char buffer[4096];
        ssize_t got;
        while ((got = read(m_fifo, buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<size_t>(got));
        std::string text;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2)
            text += bytes[i];
        return text;
    }

    // The installation against a build, leaving out what a row planted.
    std::vector<std::string> DifferencesFrom(const char *version, const std::set<std::string> &planted)
    {
        std::vector<std::string> differences;
        for (const std::string &difference : TreeDifferences(m_install, m_dir / version))
            if (!planted.count(difference.substr(difference.find(' ') + 1)))
                differences.push_back(difference);
        return differences;
    }

    RunResult Run(const TrustCase &row)
    {
        std::vector<std::string> arguments = {"/bin/sh", "-c", "kill -STOP $$; exec \"$@\"", "sh",
                                              m_patcher.string(), "-u"};
        if (row.run == TrustCase::CrashingWorker)
            arguments.insert(arguments.end(), {"-r", "100", m_install.string()});
        std::vector<std::string> environment = {"PELMO_REGISTRY=" + (m_dir / "registry.reg").string(),
                                                "TEMP=" + (m_dir / "temp").string(), "LANG=C",
                                                "KORVILUTIL_LOG=" + (m_dir / "utility.log").string(),
                                                "PKEXEC_UID=", "DISPLAY=", "WAYLAND_DISPLAY="};
        environment.insert(environment.end(), row.environment.begin(), row.environment.end());
        const auto start = std::chrono::steady_clock::now();
        RunningProgram patcher(arguments, environment);
        EXPECT_TRUE(WaitUntilStopped(patcher.Pid()));
        row.plant(*this, patcher.Pid());
        kill(patcher.Pid(), SIGCONT);
        if (row.terminateWhileWaiting)
        {
            EXPECT_TRUE(WaitUntilOpen(patcher.Pid(), m_dir / "registry.reg.lock")) << patcher.Output();
            patcher.Signal(SIGTERM);
        }
        RunResult result;
        result.status = patcher.Wait();
        result.output = patcher.Output();
        result.took = std::chrono::steady_clock::now() - start;
        return result;
    }

    testfiles::TempDirectory m_temp{"zelk-e2e-trust"};
    fs::path m_dir;
    fs::path m_patcher;
    fs::path m_install;
    fs::path m_rootOnly;
    fs::path m_instanceMutex;
    fs::path m_instanceBlock;
    std::vector<std::unique_ptr<RunningProgram>> m_holders;
    int m_fifo = -1;

private:
    static char ProcessState(pid_t pid)
    {
        const std::string stat = ReadFile(fs::path("/proc") / std::to_string(pid) / "stat");
        const size_t nameEnd = stat.rfind(')');
        return nameEnd == std::string::npos || nameEnd + 2 >= stat.size() ? '?' : stat[nameEnd + 2];
    }

    static bool WaitUntilStopped(pid_t pid)
    {
        for (int i = 0; i < 2000; ++i)
        {
            if (ProcessState(pid) == 'T')
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    static bool WaitUntilOpen(pid_t pid, const fs::path &file)
    {
        for (int i = 0; i < 2000; ++i)
        {
            std::error_code error;
            for (const fs::directory_entry &entry :
                 fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "fd", error))
                if (fs::read_symlink(entry.path(), error) == file)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

// The line the account's script writes with its user id, once per call.
std::string RecordIds(const fs::path &file)
{
    return "id -u >> \"" + file.string() + "\"\n";
}

// The account's script tries the root-only file too: as root it would succeed.
std::string TryRootOnly(const fs::path &file)
{
    return "echo planted > \"" + file.string() + "\" 2>/dev/null\n";
}

const std::string kCompleted = "Patching completed.\n";
const std::string kFilesInUse = "Unable to patch - files in use.";

const TrustCase kCases[] = {
    {"ReplacedPatchToolRunsAsTheOwner",
     [](RootTrustTest &test, pid_t) {
         fs::copy_file(test.m_install / "bin/jpatchl-w32.exe", test.m_dir / "real-jptch");
         test.PlantScript("bin/jpatchl-w32.exe", RecordIds(test.m_install / "ran-as") + TryRootOnly(test.m_rootOnly) +
                                                     "exec \"" + (test.m_dir / "real-jptch").string() + "\" \"$@\"\n");
     },
     TrustCase::Standalone, {}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(run.output, kCompleted)) << run.output;
         // Every call ran as the owner, and the difference it read from root's private directory
         // still made each file the new build's.
         const std::string ids = ReadFile(test.m_install / "ran-as");
         EXPECT_FALSE(ids.empty());
         EXPECT_EQ(ids.find_first_not_of("65534\n"), std::string::npos) << ids;
         EXPECT_EQ(test.DifferencesFrom("101", {"bin/jpatchl-w32.exe", "ran-as"}), std::vector<std::string>());
     }},
    {"ReplacedProductUtilityRunsAsTheOwnerWithACleanEnvironment",
     [](RootTrustTest &test, pid_t) {
         test.PlantScript("bin/KorvilUtil.exe", "{ id -u; env; } > \"" + (test.m_install / "utility-ran").string() +
                                                    "\"\n" + TryRootOnly(test.m_rootOnly));
     },
     TrustCase::Standalone, {}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         const std::string record = ReadFile(test.m_install / "utility-ran");
         EXPECT_EQ(record.substr(0, record.find('\n')), "65534") << record;
         EXPECT_FALSE(Contains(record, "PELMO_REGISTRY=")) << record;
         EXPECT_FALSE(Contains(record, "KORVILUTIL_LOG=")) << record;
     }},
    {"BlockCutShortDuringTheRunCrashesNothing",
     [](RootTrustTest &test, pid_t) {
         // The utility runs while the patcher has the block open, lent to it.
         test.PlantScript("bin/KorvilUtil.exe", "truncate -s 0 \"" + test.m_instanceBlock.string() +
                                                    "\"\nstat -c %s \"" + test.m_instanceBlock.string() + "\" > \"" +
                                                    (test.m_install / "block-size").string() + "\"\n");
     },
     TrustCase::Standalone, {}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(ReadFile(test.m_install / "block-size"), "0\n");
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(run.output, kCompleted)) << run.output;
     }},
    {"BlockOfTheWrongSizeMeansInUse",
     [](RootTrustTest &test, pid_t) {
         WriteFile(test.m_instanceBlock, "short");
         chmod(test.m_instanceBlock.c_str(), 0666);
         test.GiveToAccount(test.m_instanceBlock);
     },
     TrustCase::Standalone, {}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, kFilesInUse)) << run.output;
         EXPECT_EQ(test.DifferencesFrom("100", {}), std::vector<std::string>());
     }},
    {"HeldInstanceMutexMeansInUseAtTheDeadline",
     [](RootTrustTest &test, pid_t) { test.HoldLockAsAccount(test.m_instanceMutex); },
     TrustCase::Standalone, {"ZELK_TEST_LOCK_WAIT_MS=300"}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, kFilesInUse)) << run.output;
         EXPECT_EQ(test.DifferencesFrom("100", {}), std::vector<std::string>());
     }},
    {"HeldRegistryLockFailsTheRunAtTheDeadline",
     [](RootTrustTest &test, pid_t) {
         // A lock file that an older version left readable to everyone.
         WriteFile(test.m_dir / "registry.reg.lock", "");
         chmod((test.m_dir / "registry.reg.lock").c_str(), 0644);
         test.HoldLockAsAccount(test.m_dir / "registry.reg.lock");
     },
     TrustCase::Standalone, {"ZELK_TEST_LOCK_WAIT_MS=300"}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, "Another program has held the lock of the registry file " +
                                              (test.m_dir / "registry.reg.lock").string() + " for 1 seconds"))
             << run.output;
         // The step stopped before its first file; its journal tells the next run to apply it.
         EXPECT_EQ(test.DifferencesFrom("100", {"patch-journal.txt"}), std::vector<std::string>());
         // From now on only root may open it.
         EXPECT_EQ(fs::status(test.m_dir / "registry.reg.lock").permissions(),
                   fs::perms::owner_read | fs::perms::owner_write);
     }},
    {"HeldRegistryLockEndsAtOnceOnSigterm",
     [](RootTrustTest &test, pid_t) {
         WriteFile(test.m_dir / "registry.reg.lock", "");
         chmod((test.m_dir / "registry.reg.lock").c_str(), 0644);
         test.HoldLockAsAccount(test.m_dir / "registry.reg.lock");
     },
     TrustCase::Standalone, {}, true,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         // Far below the deadline of 30 s that the wait would otherwise have taken.
         EXPECT_LT(run.took, std::chrono::seconds(20));
         EXPECT_FALSE(Contains(run.output, "Another program has held")) << run.output;
         EXPECT_EQ(test.DifferencesFrom("100", {"patch-journal.txt"}), std::vector<std::string>());
     }},
    {"ForeignConsoleFifoReceivesNothing",
     [](RootTrustTest &test, pid_t pid) { test.PlantConsoleFifo(pid, kAccount); },
     TrustCase::Standalone, {}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_EQ(test.FifoText(), "");
         // The lines went where they go without a FIFO.
         EXPECT_TRUE(Contains(run.output, "ZelkProcess> ")) << run.output;
     }},
    {"ConsoleFifoOfTheElevatingUserReceivesTheLog",
     [](RootTrustTest &test, pid_t pid) { test.PlantConsoleFifo(pid, kAccount); },
     TrustCase::Standalone, {"PKEXEC_UID=65534"}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(test.FifoText(), "ZelkProcess> ")) << run.output;
     }},
    {"PlantedReportNameTakesTheNextNumber",
     [](RootTrustTest &test, pid_t) {
         // The fatal report's name holds the time to the second: links for the next half minute.
         const time_t now = time(nullptr);
         for (time_t second = now - 1; second < now + 30; ++second)
         {
             tm local{};
             localtime_r(&second, &local);
             char name[64];
             strftime(name, sizeof name, "patcher-v35673-%Y.%m.%d-%H.%M.%S.dmp", &local);
             const fs::path link = test.m_dir / "downloads" / name;
             fs::create_symlink(test.m_rootOnly, link);
             test.GiveToAccount(link);
         }
     },
     TrustCase::CrashingWorker, {"ZELK_TEST_CRASH=patch worker"}, false,
     [](RootTrustTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 255) << run.output;
         std::vector<fs::path> reports;
         for (const fs::directory_entry &entry : fs::directory_iterator(test.m_dir / "downloads"))
             if (!entry.is_symlink() && entry.is_regular_file() && entry.path().extension() == ".dmp")
                 reports.push_back(entry.path());
         ASSERT_EQ(reports.size(), 1u) << run.output;
         EXPECT_TRUE(reports[0].stem().string().ends_with("_2")) << reports[0];
         EXPECT_TRUE(Contains(ReadFile(reports[0]), "\nreason: signal 11 (SIGSEGV)"));
     }},
};

TEST_P(RootTrustTest, PlantedByTheOwner)
{
    const TrustCase &row = GetParam();
    const RunResult run = Run(row);
    row.holds(*this, run);
    EXPECT_EQ(ReadFile(m_rootOnly), kRootOnlyContent) << "nothing of the account's writes a file of root's";
    EXPECT_FALSE(fs::exists(m_dir / "utility.log")) << "root's environment never reaches the account's program";
}

INSTANTIATE_TEST_SUITE_P(Rows, RootTrustTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TrustCase> &info) { return std::string(info.param.name); });
} // namespace
