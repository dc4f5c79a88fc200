// Root patching or repairing an installation that an unprivileged account owns, as happens
// whenever a user patches their own installation (the registry file is root's, so the run is
// elevated). Each row plants links the account can plant in its installation, runs the patcher as
// root and checks what happens to the run and outside the installation: nothing of root's out
// there is created, deleted, overwritten or read through the account's links, each such file is
// named in the run's messages, and links that stay inside work as before. The account is "nobody",
// which every Debian machine has.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "E2eFixtures.h"
#include "TestServers.h"
#include "patch/MD5.h"

namespace fs = std::filesystem;
using namespace e2e;

namespace
{
constexpr uid_t kAccount = 65534;
const std::string kRootOnlyContent = "root's alone\n";
const std::string kCompleted = "Patching completed.\n";
const std::string kLeadsOutside = " leads outside the installation.";

// What a run did.
struct RunResult
{
    int status = -1;
    std::string output;
};

class RootConfinementTest;

struct ConfinementCase
{
    const char *name;
    // Plants the links in the account's installation before the run.
    std::function<void(RootConfinementTest &)> plant;
    enum Run
    {
        // The standalone patcher that carries the step 100 -> 101 (it adds data/addons/addon101.pak
        // and deletes data/legacy/legacy0.dat).
        Standalone,
        // A repair against a server that serves build 100.
        Repair,
        // A repair from a web server that serves build 100 with its repair manifest.
        WebRepair,
    } run;
    std::vector<std::string> environment;
    std::function<void(RootConfinementTest &, const RunResult &)> holds;
};

// A failing row is named by its name, not by its bytes.
void PrintTo(const ConfinementCase &row, std::ostream *out)
{
    *out << row.name;
}

class RootConfinementTest : public ::testing::TestWithParam<ConfinementCase>
{
public:
    // The builds, the step and the patcher are made once; the installation anew for each row.
    static void SetUpTestSuite()
    {
        if (geteuid() != 0)
            return;
        s_temp = std::make_unique<testfiles::TempDirectory>("zelk-e2e-confine");
        OpenToEveryone(s_temp->Path());
        std::string digest;
        for (const char *version : {"100", "101"})
        {
            RunTool({kBuild + "/zelk-mksample", Build(version).string(), "--version", version},
                    version == std::string("100") ? &digest : nullptr);
            fs::remove(Build(version) / "unins000.dat");
        }
        RunTool({kBuild + "/zelk-mkpatch", Build("100").string(), Build("101").string(), Root("step.zip").string()});
        RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", Root("pelmo-patcher-101").string(), "--target",
                 "101", "--build", digest.substr(0, digest.find('\n')) + "=100", "--step",
                 "100:101:" + Root("step.zip").string()});
        fs::create_directories(Root("served"));
        fs::copy(Build("100"), Root("served/files"), fs::copy_options::recursive);
        RunTool({kBuild + "/zelk-mkmanifest", Root("served/files").string(), Root("served").string()});
    }
    static void TearDownTestSuite() { s_temp.reset(); }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "shows what root does in another account's installation";
        m_dir = Root(testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir / "temp");
        OpenToEveryone(m_dir);
        m_install = m_dir / "Korvil";
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        GiveToAccount(m_install);
        m_registry = "Windows Registry Editor Version 5.00\n\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                     "\"ProductClass\"=\"Korvil\"\n\"ProductInstallPath\"=\"" +
                     m_install.string() + "\"\n";
        // Root's own, beside the installation: a directory only root may enter, holding a file
        // named as one the step deletes, and a file only root may read.
        m_rootOnlyDirectory = m_dir / "root-only";
        fs::create_directories(m_rootOnlyDirectory);
        WriteFile(m_rootOnlyDirectory / "legacy0.dat", kRootOnlyContent);
        chmod(m_rootOnlyDirectory.c_str(), 0700);
        m_rootOnlyFile = m_dir / "root-only-file";
        WriteFile(m_rootOnlyFile, kRootOnlyContent);
        chmod(m_rootOnlyFile.c_str(), 0600);
        m_outsideBefore = OutsideState();
    }

    void TearDown() override
    {
        if (!HasFailure() && !m_dir.empty())
            fs::remove_all(m_dir);
    }

    // Replaces the entry at relative with a link of the account's to target.
    void PlantLink(const std::string &relative, const fs::path &target)
    {
        const fs::path link = m_install / relative;
        fs::remove_all(link);
        fs::create_symlink(target, link);
        lchown(link.c_str(), kAccount, kAccount);
    }

    // What root has beside the installation: every entry with its content and permissions.
    std::map<std::string, std::string> OutsideState() const
    {
        std::map<std::string, std::string> state;
        for (const fs::path &root : {m_rootOnlyDirectory, m_rootOnlyFile})
        {
            state[root.string()] = Describe(root);
            if (fs::is_directory(root))
                for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root))
                    state[entry.path().string()] = Describe(entry.path());
        }
        return state;
    }

    void ExpectOutsideUnchanged() const { EXPECT_EQ(OutsideState(), m_outsideBefore); }
    // Takes what root has beside the installation now as what must stay.
    void NoteOutside() { m_outsideBefore = OutsideState(); }

    // The registry names install as the installation.
    void PointRegistryAt(const fs::path &install)
    {
        const std::string named = "\"ProductInstallPath\"=\"" + m_install.string() + "\"";
        m_registry.replace(m_registry.find(named), named.size(), "\"ProductInstallPath\"=\"" + install.string() + "\"");
    }

    // The run's refusal of a link on the installation's path.
    static std::string LinkRefused(const fs::path &link)
    {
        return link.string() + " is a symbolic link that another account could change;";
    }

    // Made by root in the account's installation, and the account's as its own run would have made it.
    void ExpectAccounts(const std::string &relative) const
    {
        struct stat info;
        ASSERT_EQ(lstat((m_install / relative).c_str(), &info), 0) << relative;
        EXPECT_EQ(info.st_uid, kAccount) << relative;
        EXPECT_EQ(info.st_gid, kAccount) << relative;
        EXPECT_EQ(info.st_mode & (S_IWGRP | S_IWOTH), 0u) << relative;
        EXPECT_NE(info.st_mode & S_IRUSR, 0u) << relative;
    }

    std::string LeadsOutside(const std::string &relative) const
    {
        return (m_install / relative).string() + kLeadsOutside;
    }

    RunResult Run(const ConfinementCase &row)
    {
        std::unique_ptr<RunningProgram> server;
        testservers::TestServer web;
        std::vector<std::string> arguments = {Root("pelmo-patcher-101").string(), "-u"};
        std::string registry = m_registry;
        if (row.run == ConfinementCase::WebRepair)
        {
            EXPECT_TRUE(web.Start("http_server.py", {"--root", Root("served").string()})) << web.Output();
            arguments = {kBuild + "/pelmo-patcher", "-u", "-r"};
            registry += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"http://127.0.0.1:" +
                        std::to_string(web.Port()) + "/\"\n";
        }
        if (row.run == ConfinementCase::Repair)
        {
            server = StartRepairServer();
            arguments = {kBuild + "/pelmo-patcher", "-u", "-r"};
            const std::string output = server->Output();
            const size_t colon = output.find("127.0.0.1:") + 10;
            registry += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" +
                        output.substr(colon, output.find('\n', colon) - colon) + "\"\n";
        }
        WriteFile(m_dir / "registry.reg", registry);
        std::vector<std::string> environment = {"PELMO_REGISTRY=" + (m_dir / "registry.reg").string(),
                                                "TEMP=" + (m_dir / "temp").string(), "LANG=C",
                                                "KORVILUTIL_LOG=" + (m_dir / "utility.log").string()};
        environment.insert(environment.end(), row.environment.begin(), row.environment.end());
        RunningProgram patcher(arguments, environment);
        RunResult result;
        result.status = patcher.Wait();
        result.output = patcher.Output();
        return result;
    }

    static fs::path Root(const std::string &name) { return s_temp->Path() / name; }
    static fs::path Build(const std::string &version) { return Root("build-" + version); }

    fs::path m_dir;
    fs::path m_install;
    fs::path m_rootOnlyDirectory;
    fs::path m_rootOnlyFile;

private:
    // The account's programs (the patch tool, the utility) must reach the installation.
    static void OpenToEveryone(const fs::path &directory)
    {
        fs::permissions(directory, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    }

    static void GiveToAccount(const fs::path &path)
    {
        lchown(path.c_str(), kAccount, kAccount);
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(path))
            lchown(entry.path().c_str(), kAccount, kAccount);
    }

    static std::string Describe(const fs::path &path)
    {
        const fs::file_status status = fs::symlink_status(path);
        const std::string permissions = std::to_string(static_cast<unsigned>(status.permissions()));
        return fs::is_regular_file(status) ? ReadFile(path) + " " + permissions : "directory " + permissions;
    }

    std::unique_ptr<RunningProgram> StartRepairServer()
    {
        auto server = std::make_unique<RunningProgram>(std::vector<std::string>{
            kBuild + "/zelk-repair-server", Build("100").string(), "--bind", "127.0.0.1", "--port", "0", "--cache",
            Root("reference.cache").string()});
        EXPECT_TRUE(server->WaitForOutput(" of them from the cache\n", std::chrono::seconds(120))) << server->Output();
        return server;
    }

    static inline std::unique_ptr<testfiles::TempDirectory> s_temp;
    std::string m_registry;
    std::map<std::string, std::string> m_outsideBefore;
};

std::string FileDigest(const fs::path &path)
{
    std::wstring digest;
    return HashFileMD5(NativeToPath(path.string()), digest) ? WideToNarrow(digest) : std::string();
}

const ConfinementCase kCases[] = {
    {"DirectoryLinksOutGetNoFileAndLoseNone",
     [](RootConfinementTest &test) {
         test.PlantLink("data/addons", test.m_rootOnlyDirectory);
         test.PlantLink("data/legacy", test.m_rootOnlyDirectory);
     },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("data/addons/addon101.pak"))) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("data/legacy/legacy0.dat"))) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"DirectoryLinksOutGetNoFileAndLoseNoneWithoutTheKernelsResolution",
     [](RootConfinementTest &test) {
         test.PlantLink("data/addons", test.m_rootOnlyDirectory);
         test.PlantLink("data/legacy", test.m_rootOnlyDirectory);
     },
     ConfinementCase::Standalone, {"ZELK_TEST_NO_OPENAT2=1"},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("data/addons/addon101.pak"))) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("data/legacy/legacy0.dat"))) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"LinksThatStayInsideAreFollowed",
     [](RootConfinementTest &test) {
         fs::create_directories(test.m_install / "data/addons-real");
         test.PlantLink("data/addons", "addons-real");
         fs::rename(test.m_install / "data/legacy", test.m_install / "data/legacy-real");
         test.PlantLink("data/legacy", "legacy-real");
         test.PlantLink("bin/Launcher.exe", "../data/launcher-real.exe");
         fs::copy_file(RootConfinementTest::Build("100") / "bin/Launcher.exe",
                       test.m_install / "data/launcher-real.exe");
     },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(run.output, kCompleted)) << run.output;
         const fs::path built = RootConfinementTest::Build("101");
         EXPECT_EQ(ReadFile(test.m_install / "data/addons-real/addon101.pak"), ReadFile(built / "data/addons/addon101.pak"));
         EXPECT_FALSE(fs::exists(test.m_install / "data/legacy-real/legacy0.dat"));
         EXPECT_TRUE(fs::exists(test.m_install / "data/legacy-real/legacy1.dat"));
         EXPECT_EQ(ReadFile(test.m_install / "bin/Launcher.exe"), ReadFile(built / "bin/Launcher.exe"));
         test.ExpectOutsideUnchanged();
     }},
    {"JournalLinkedOutIsNotWrittenAndNothingIsApplied",
     [](RootConfinementTest &test) { test.PlantLink("patch-journal.txt", test.m_rootOnlyFile); },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("patch-journal.txt"))) << run.output;
         test.ExpectOutsideUnchanged();
         EXPECT_EQ(FileDigest(test.m_install / "data/legacy/legacy0.dat"),
                   FileDigest(RootConfinementTest::Build("100") / "data/legacy/legacy0.dat"));
     }},
    {"LauncherLinkedOutIsNotRead",
     [](RootConfinementTest &test) { test.PlantLink("bin/Launcher.exe", test.m_rootOnlyFile); },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 2) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("bin/Launcher.exe"))) << run.output;
         // Its digest would tell the account something of root's file.
         EXPECT_FALSE(Contains(run.output, FileDigest(test.m_rootOnlyFile))) << run.output;
     }},
    {"FileLinkedOutIsNotOverwrittenByTheRepair",
     [](RootConfinementTest &test) { test.PlantLink("data/config/defaults.cfg", test.m_rootOnlyFile); },
     ConfinementCase::Repair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("data/config/defaults.cfg"))) << run.output;
         EXPECT_TRUE(Contains(run.output, "Error occurred while repairing files.")) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"FileLinkedOutIsNotOverwrittenByTheWebRepair",
     [](RootConfinementTest &test) { test.PlantLink("data/config/defaults.cfg", test.m_rootOnlyFile); },
     ConfinementCase::WebRepair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, test.LeadsOutside("data/config/defaults.cfg"))) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"DigestsLinkedOutAreNotWrittenByTheWebRepair",
     [](RootConfinementTest &test) { test.PlantLink("repair.sha", test.m_rootOnlyFile); },
     ConfinementCase::WebRepair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(run.output, kCompleted)) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"SummaryLinkedOutIsNotWritten",
     [](RootConfinementTest &test) { test.PlantLink("repair.cks", test.m_rootOnlyFile); },
     ConfinementCase::Repair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(run.output, kCompleted)) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"InstallationSwappedForTheAccountsLinkIsRefusedByTheRepair",
     [](RootConfinementTest &test) {
         fs::remove_all(test.m_install);
         fs::create_directory_symlink(test.m_rootOnlyDirectory, test.m_install);
         lchown(test.m_install.c_str(), kAccount, kAccount);
     },
     ConfinementCase::Repair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, RootConfinementTest::LinkRefused(test.m_install))) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"InstallationSwappedForTheAccountsLinkIsRefusedByTheStandaloneRun",
     [](RootConfinementTest &test) {
         // Root's own installation of the build the step starts from, which the step would change.
         fs::copy(RootConfinementTest::Build("100"), test.m_rootOnlyDirectory / "Korvil", fs::copy_options::recursive);
         test.NoteOutside();
         fs::remove_all(test.m_install);
         fs::create_directory_symlink(test.m_rootOnlyDirectory / "Korvil", test.m_install);
         lchown(test.m_install.c_str(), kAccount, kAccount);
     },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 2) << run.output;
         EXPECT_TRUE(Contains(run.output, RootConfinementTest::LinkRefused(test.m_install))) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"ParentSwappedForTheAccountsLinkIsRefused",
     [](RootConfinementTest &test) {
         fs::copy(RootConfinementTest::Build("100"), test.m_rootOnlyDirectory / "Korvil", fs::copy_options::recursive);
         test.NoteOutside();
         fs::create_directory_symlink(test.m_rootOnlyDirectory, test.m_dir / "games");
         lchown((test.m_dir / "games").c_str(), kAccount, kAccount);
         test.PointRegistryAt(test.m_dir / "games/Korvil");
     },
     ConfinementCase::Repair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         EXPECT_TRUE(Contains(run.output, RootConfinementTest::LinkRefused(test.m_dir / "games"))) << run.output;
         test.ExpectOutsideUnchanged();
     }},
    {"RootsLinkOnTheWayIsFollowed",
     [](RootConfinementTest &test) {
         fs::create_directory_symlink(".", test.m_dir / "current");
         test.PointRegistryAt(test.m_dir / "current/Korvil");
     },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         EXPECT_TRUE(Contains(run.output, kCompleted)) << run.output;
         EXPECT_EQ(ReadFile(test.m_install / "bin/Launcher.exe"),
                   ReadFile(RootConfinementTest::Build("101") / "bin/Launcher.exe"));
     }},
    {"WhatTheStepMakesIsTheAccounts", [](RootConfinementTest &) {}, ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         for (const char *made : {"data/addons", "data/addons/addon101.pak", "unins000.dat", "bin/Launcher.exe"})
             test.ExpectAccounts(made);
     }},
    {"JournalOfAStepCutShortIsTheAccounts",
     [](RootConfinementTest &test) { test.PlantLink("data/legacy", test.m_rootOnlyDirectory); },
     ConfinementCase::Standalone, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 1) << run.output;
         test.ExpectAccounts("patch-journal.txt");
     }},
    {"WhatTheRepairMakesIsTheAccounts",
     [](RootConfinementTest &test) { fs::remove_all(test.m_install / "data/config"); },
     ConfinementCase::Repair, {},
     [](RootConfinementTest &test, const RunResult &run) {
         EXPECT_EQ(run.status, 0) << run.output;
         for (const char *made : {"repair.cks", "data/config", "data/config/defaults.cfg"})
             test.ExpectAccounts(made);
     }},
};

TEST_P(RootConfinementTest, PlantedByTheOwner)
{
    const ConfinementCase &row = GetParam();
    row.plant(*this);
    row.holds(*this, Run(row));
}

INSTANTIATE_TEST_SUITE_P(Rows, RootConfinementTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ConfinementCase> &info) {
                             return std::string(info.param.name);
                         });
} // namespace
